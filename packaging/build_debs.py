#!/usr/bin/env python3
"""Builds the Debian packages qivhub, liblumo1, liblumo-dev and qivhub-virtual for amd64 and
armhf with dpkg-deb: a release build per architecture, each install component staged under its
package's root, stripped, documented and given its control files.

Usage: build_debs.py [--out DIR] [--work DIR] [--arch amd64|armhf]...
"""
import argparse
import gzip
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TEMPLATES = os.path.join(SRC, "packaging", "debian")
DEBIAN_REVISION = "1"

ARCHES = {
    "amd64": {"triplet": "x86_64-linux-gnu", "toolchain": None, "strip": "strip"},
    "armhf": {"triplet": "arm-linux-gnueabihf",
              "toolchain": os.path.join(SRC, "cmake", "arm-linux-gnueabihf.cmake"),
              "strip": "arm-linux-gnueabihf-strip"},
}

# Package, the install component it is made of, and what it needs beyond its ELF files.
PACKAGES = [
    ("qivhub", "hub", ["liblumo1 (>= {upstream})", "adduser"]),
    ("liblumo1", "runtime", []),
    ("liblumo-dev", "dev", ["liblumo1 (= {version})"]),
    ("qivhub-virtual", "virtual", ["qivhub", "liblumo1 (>= {upstream})"]),
]

# The Debian package of each library a packaged ELF file may need.
LIBRARY_PACKAGES = {
    "libc.so.6": "libc6", "libm.so.6": "libc6", "libpthread.so.0": "libc6",
    "libdl.so.2": "libc6", "ld-linux-x86-64.so.2": "libc6", "ld-linux-armhf.so.3": "libc6",
    "libstdc++.so.6": "libstdc++6", "libgcc_s.so.1": "libgcc-s1", "liblumo.so.1": "liblumo1",
}


def run(cmd, **kwargs):
    print("+", " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True, **kwargs)


def output(cmd, **kwargs):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kwargs).stdout


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def files_under(root):
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for name in sorted(filenames):
            yield os.path.join(dirpath, name)


def version_greater(a, b):
    return subprocess.run(["dpkg", "--compare-versions", a, "gt", b]).returncode == 0


class SymbolVersions:
    """The minimum package version for a symbol version node (GLIBC_2.34 -> 2.34,
    GLIBCXX_3.4.30 -> 12), from the build host's symbols files. The nodes are the same on every
    architecture; a node the host does not list (an architecture's own) raises no minimum."""

    def __init__(self):
        self.cache = {}

    def minimum(self, package, node):
        table = self.cache.get(package)
        if table is None:
            table = {}
            try:
                path = output(["dpkg-query", "--control-path", package, "symbols"]).split()
            except subprocess.CalledProcessError:
                path = []
            for name in path:
                with open(name, encoding="utf-8") as f:
                    for line in f:
                        m = re.match(r"^ (\S+)@(\S+) (\S+)", line)
                        if m and m.group(1) == m.group(2):
                            table[m.group(1)] = m.group(3)
            self.cache[package] = table
        return table.get(node)


def elf_depends(paths, symbols, skip):
    """Depends entries for what the ELF files need, with minimum versions from their symbol
    version nodes."""
    needed = {}
    for path in paths:
        for lib in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]",
                              output(["readelf", "-d", "-W", path])):
            package = LIBRARY_PACKAGES.get(lib)
            if package is None:
                sys.exit(f"build_debs: {path} needs {lib}, which no known package provides")
            needed.setdefault(package, None)
        current = None
        for line in output(["readelf", "-V", "-W", path]).splitlines():
            m = re.search(r"File: (\S+)", line)
            if m:
                current = LIBRARY_PACKAGES.get(m.group(1))
                continue
            m = re.search(r"Name: (\S+)", line)
            if m and current and current != "liblumo1":
                found = symbols.minimum(current, m.group(1))
                known = needed.get(current)
                if found and (known is None or version_greater(found, known)):
                    needed[current] = found
    return [f"{p} (>= {v})" if v else p for p, v in sorted(needed.items()) if p not in skip]


def build_tree(arch, work, jobs):
    """Configures and builds one architecture's release; returns the build directory."""
    spec = ARCHES[arch]
    build = os.path.join(work, f"build-{arch}")
    env = dict(os.environ, DEB_HOST_ARCH=arch, DEB_BUILD_MAINT_OPTIONS="hardening=+all")
    flags = {name: output(["dpkg-buildflags", "--get", name], env=env).strip()
             for name in ("CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS")}
    # The library states its build date (__DATE__, __TIME__); the compiler takes it from
    # SOURCE_DATE_EPOCH, which keeps the build reproducible without the warning.
    flags["CPPFLAGS"] = flags["CPPFLAGS"].replace("-Wdate-time", "").strip()
    cmd = ["cmake", "-S", SRC, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DLUMO_BUILD_TESTS=OFF",
           "-DCMAKE_INSTALL_PREFIX=/usr", f"-DCMAKE_INSTALL_LIBDIR=lib/{spec['triplet']}",
           "-DQIVHUB_PLUGIN_DIR=lib/qivhub", "-DQIVHUB_UNIT_DIR=/lib/systemd/system",
           "-DQIVHUB_DEFAULTS_DIR=/etc/default",
           # The library sits on the default search path; a run path would only be one more
           # place to load it from.
           "-DCMAKE_SKIP_INSTALL_RPATH=ON",
           f"-DCMAKE_C_FLAGS={flags['CFLAGS']} {flags['CPPFLAGS']}",
           f"-DCMAKE_CXX_FLAGS={flags['CXXFLAGS']} {flags['CPPFLAGS']}",
           f"-DCMAKE_EXE_LINKER_FLAGS={flags['LDFLAGS']}",
           f"-DCMAKE_SHARED_LINKER_FLAGS={flags['LDFLAGS']}",
           f"-DCMAKE_MODULE_LINKER_FLAGS={flags['LDFLAGS']}"]
    if spec["toolchain"]:
        cmd.append(f"-DCMAKE_TOOLCHAIN_FILE={spec['toolchain']}")
    run(cmd)
    run(["cmake", "--build", build, "-j", str(jobs)],
        env=dict(os.environ, SOURCE_DATE_EPOCH=str(source_epoch())))
    return build


def fill(template, values):
    text = template
    for key, value in values.items():
        text = text.replace(f"@{key}@", str(value))
    leftover = re.findall(r"@[A-Z_]+@", text)
    if leftover:
        sys.exit(f"build_debs: unfilled {leftover}")
    return text


def read_template(*parts):
    with open(os.path.join(TEMPLATES, *parts), encoding="utf-8") as f:
        return f.read()


def normalise(root, strip, epoch):
    """Debian's modes (only programs are executable; shared objects are not), stripped ELF
    files, compressed manual pages and one time stamp on everything."""
    for path in list(files_under(root)):
        rel = os.path.relpath(path, root)
        if os.path.islink(path):
            continue
        if rel.startswith(os.path.join("usr", "share", "man")) and not path.endswith(".gz"):
            with open(path, "rb") as f, gzip.GzipFile(path + ".gz", "wb", 9, mtime=0) as z:
                z.write(f.read())
            os.remove(path)
            path += ".gz"
        program = rel.split(os.sep)[:2] in (["usr", "bin"], ["usr", "sbin"])
        if is_elf(path):
            run([strip, "--strip-unneeded", "--remove-section=.comment", "--remove-section=.note",
                 path])
        os.chmod(path, 0o755 if program else 0o644)
    for dirpath, _, _ in os.walk(root):
        os.chmod(dirpath, 0o755)
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames + [""]:
            os.utime(os.path.join(dirpath, name), (epoch, epoch), follow_symlinks=False)


def installed_size(root):
    """In KiB, the way dpkg counts it: each file rounded up, each directory one."""
    total = 0
    for dirpath, dirnames, filenames in os.walk(root):
        total += len(dirnames)
        for name in filenames:
            total += (os.lstat(os.path.join(dirpath, name)).st_size + 1023) // 1024
    return total


def make_package(package, component, extra, arch, build, stage, out, info, symbols):
    root = os.path.join(stage, package)
    shutil.rmtree(root, ignore_errors=True)
    run(["cmake", "--install", build, "--component", component, "--prefix", "/usr"],
        env=dict(os.environ, DESTDIR=root), stdout=subprocess.DEVNULL)
    if not os.path.isdir(root):
        sys.exit(f"build_debs: component {component} installed nothing")
    doc = os.path.join(root, "usr", "share", "doc", package)
    os.makedirs(doc, exist_ok=True)
    with open(os.path.join(doc, "copyright"), "w", encoding="utf-8") as f:
        f.write(fill(read_template("copyright"), info))
    with gzip.GzipFile(os.path.join(doc, "changelog.Debian.gz"), "wb", 9, mtime=0) as z:
        z.write(fill(read_template("changelog"), info).encode())
    overrides = os.path.join(root, "usr", "share", "lintian", "overrides")
    os.makedirs(overrides)
    shutil.copyfile(os.path.join(TEMPLATES, "lintian-overrides"), os.path.join(overrides, package))
    normalise(root, ARCHES[arch]["strip"], info["EPOCH"])

    elves = [p for p in files_under(root) if not os.path.islink(p) and is_elf(p)]
    depends = [e.format(upstream=info["UPSTREAM_VERSION"], version=info["VERSION"]) for e in extra]
    depends += elf_depends(elves, symbols, skip={p.split()[0] for p in depends} | {package})

    values = dict(info, ARCH=arch, DEPENDS=", ".join(depends),
                  INSTALLED_SIZE=str(installed_size(root)))
    control = os.path.join(root, "DEBIAN")
    os.makedirs(control)
    conffiles = []
    for name in sorted(os.listdir(os.path.join(TEMPLATES, package))):
        text = fill(read_template(package, name), values)
        target = os.path.join(control, name)
        with open(target, "w", encoding="utf-8") as f:
            f.write(text)
        script = name in ("preinst", "postinst", "prerm", "postrm")
        os.chmod(target, 0o755 if script else 0o644)
        if name == "conffiles":
            conffiles = [line.strip() for line in text.splitlines() if line.strip()]
    sums = []
    for path in files_under(root):
        rel = os.path.relpath(path, root)
        if rel.startswith("DEBIAN" + os.sep) or os.path.islink(path) or "/" + rel in conffiles:
            continue
        with open(path, "rb") as f:
            sums.append(f"{hashlib.md5(f.read()).hexdigest()}  {rel}\n")
    with open(os.path.join(control, "md5sums"), "w", encoding="utf-8") as f:
        f.writelines(sums)
    os.chmod(os.path.join(control, "md5sums"), 0o644)
    deb = os.path.join(out, f"{package}_{info['VERSION']}_{arch}.deb")
    run(["dpkg-deb", "--root-owner-group", "--build", root, deb],
        env=dict(os.environ, SOURCE_DATE_EPOCH=str(info["EPOCH"])), stdout=subprocess.DEVNULL)
    return deb


def source_epoch():
    return int(output(["git", "-C", SRC, "log", "-1", "--format=%ct"]).strip())


def project_info(build):
    with open(os.path.join(build, "include", "lumo", "version.h"), encoding="utf-8") as f:
        header = f.read()
    version = re.search(r'#define LUMO_VERSION_STRING "([^"]+)"', header).group(1)
    major = re.search(r"#define LUMO_VERSION_MAJOR (\d+)", header).group(1)
    maintainer = output(["git", "-C", SRC, "log", "-1", "--format=%an <%ae>"]).strip()
    epoch = source_epoch()
    return {"UPSTREAM_VERSION": version, "VERSION": f"{version}-{DEBIAN_REVISION}",
            "SOVERSION": major,
            "MAINTAINER": maintainer, "MAINTAINER_EMAIL": maintainer.split("<")[1].rstrip(">"),
            "EPOCH": epoch, "DATE": time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime(epoch))}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(SRC, "build", "packages"))
    parser.add_argument("--work", default=os.path.join(SRC, "build", "pkg"))
    parser.add_argument("--arch", action="append", choices=sorted(ARCHES))
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    args = parser.parse_args()
    os.umask(0o022)
    os.makedirs(args.out, exist_ok=True)
    for old in os.listdir(args.out):
        if old.endswith(".deb"):
            os.remove(os.path.join(args.out, old))
    symbols = SymbolVersions()
    for arch in args.arch or sorted(ARCHES):
        build = build_tree(arch, args.work, args.jobs)
        info = project_info(build)
        stage = os.path.join(args.work, f"stage-{arch}")
        for package, component, extra in PACKAGES:
            print(make_package(package, component, extra, arch, build, stage, args.out, info,
                               symbols))


if __name__ == "__main__":
    main()
