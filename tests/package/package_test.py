#!/usr/bin/env python3
"""The Debian packages as a device and a plug-in author meet them: the amd64 packages unpacked
into a scratch root run the hub with the simulated plug-in and build a plug-in with pkg-config
alone; every package's control fields, files and binaries are what the device needs (the armhf
ones 32-bit ARM hard-float); the maintainer scripts create the service user once and enable
nothing; the shipped unit passes systemd-analyze and lintian finds no error.

Usage: package_test.py [PACKAGE_DIR] (default build/packages)."""
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

SRC = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGES = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else
                           os.path.join(SRC, "build", "packages"))
TRIPLETS = {"amd64": "x86_64-linux-gnu", "armhf": "arm-linux-gnueabihf"}
NAMES = ["qivhub", "liblumo1", "liblumo-dev", "qivhub-virtual"]

# The hub that hubrun runs is the unpacked one.
ROOT = tempfile.mkdtemp(prefix="qivhub-pkgroot-")
os.environ["QIVHUB"] = os.path.join(ROOT, "usr", "bin", "qivhub")
os.environ.pop("QIVHUB_EMULATOR", None)


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kwargs).stdout


def deb(name, arch):
    found = glob.glob(os.path.join(PACKAGES, f"{name}_*_{arch}.deb"))
    if len(found) != 1:
        raise AssertionError(f"expected one {name} package for {arch} in {PACKAGES}: {found}")
    return found[0]


def field(path, name):
    return run(["dpkg-deb", "-f", path, name]).strip()


def contents(path):
    """Path (without the leading ./) -> (mode text, link target or None)."""
    listing = {}
    for line in run(["dpkg-deb", "-c", path]).splitlines():
        parts = line.split(None, 5)
        name, _, target = parts[5].partition(" -> ")
        listing[name[2:].rstrip("/")] = (parts[0], target or None)
    return listing


def depends(path):
    """Package name -> version relation text ('' when unversioned)."""
    result = {}
    for entry in field(path, "Depends").split(","):
        m = re.match(r"\s*([a-z0-9.+-]+)\s*(?:\((.*)\))?\s*$", entry)
        result[m.group(1)] = (m.group(2) or "").replace(" ", "")
    return result


def elf_files(root):
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            path = os.path.join(dirpath, name)
            if not os.path.islink(path):
                with open(path, "rb") as f:
                    if f.read(4) == b"\x7fELF":
                        yield path


# hubrun looks at the hub binary when it is imported: unpack first.
for _name in NAMES:
    run(["dpkg-deb", "-x", deb(_name, "amd64"), ROOT])
sys.path.insert(0, os.path.join(SRC, "tests", "hub"))
from hubrun import ConsoleHub, wait_for  # noqa: E402


def tearDownModule():
    shutil.rmtree(ROOT, ignore_errors=True)


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.version = field(deb("qivhub", "amd64"), "Version")
        self.upstream = self.version.rsplit("-", 1)[0]

    def start_hub(self, plugins):
        hub = ConsoleHub(plugins, env={
            "LD_LIBRARY_PATH": os.path.join(ROOT, "usr", "lib", TRIPLETS["amd64"])})
        self.addCleanup(hub.cleanup)
        return hub

    def stop_hub(self, hub):
        hub.proc.send_signal(signal.SIGTERM)
        self.assertEqual(hub.finish(), 0, hub.text("console.out"))

    def test_the_unpacked_hub_runs_the_packaged_plugin_and_stops_on_sigterm(self):
        hub = self.start_hub(os.path.join(ROOT, "usr", "lib", "qivhub"))
        self.assertTrue(wait_for(lambda: "listener: " in hub.text("qivhub.000.trc")),
                        hub.text("console.out"))
        trace = hub.text("qivhub.000.trc")
        self.assertIn("QIVhub", trace)
        self.assertIn("virtual device: iid=[qivlib]", trace)
        # The library of the scratch root, not one installed on this machine.
        with open(f"/proc/{hub.proc.pid}/maps", encoding="utf-8") as f:
            libraries = {line.split()[-1] for line in f if "liblumo" in line}
        self.assertTrue(libraries and all(lib.startswith(ROOT) for lib in libraries), libraries)
        self.stop_hub(hub)

    def test_a_plugin_builds_against_the_unpacked_dev_package_with_pkg_config_alone(self):
        env = dict(os.environ,
                   PKG_CONFIG_PATH=os.path.join(ROOT, "usr", "lib", TRIPLETS["amd64"],
                                                "pkgconfig"),
                   PKG_CONFIG_LIBDIR="")
        flags = run(["pkg-config", "--cflags", "--libs", "lumo"], env=env).split()
        self.assertEqual(run(["pkg-config", "--modversion", "lumo"], env=env).strip(),
                         self.upstream)
        self.assertTrue(any(f.startswith("-I" + ROOT) for f in flags), flags)
        plugins = tempfile.mkdtemp(prefix="qivhub-plugin-")
        self.addCleanup(shutil.rmtree, plugins)
        source = os.path.join(plugins, "plugin.c")
        with open(source, "w", encoding="utf-8") as f:
            f.write("""#include <lumo/lumo.h>
__attribute__((visibility("default"))) LumoDigInt *lumGetDigInt(LumoNode *config,
                                                                LumoTrace *trace) {
  TraceOp.log(trace, "OPackaged", LUMO_TRC_I, __LINE__, 9999, "packaged SDK %s: uid=%d",
              LUMO_VERSION_STRING, wDigInt.getuid(config));
  NodeOp.del(config);
  return NULL;
}
""")
        run(["cc", "-std=c11", "-Wall", "-Werror", "-shared", "-fPIC", "-o",
             os.path.join(plugins, "qiv.so"), source, *flags])
        hub = self.start_hub(plugins)
        line = f"packaged SDK {self.upstream}: uid=256"
        self.assertTrue(wait_for(lambda: line in hub.text("qivhub.000.trc")),
                        hub.text("console.out"))
        self.stop_hub(hub)

    def test_control_fields_and_relations(self):
        for arch in TRIPLETS:
            for name in NAMES:
                path = deb(name, arch)
                self.assertEqual(os.path.basename(path), f"{name}_{self.version}_{arch}.deb")
                self.assertEqual(field(path, "Package"), name)
                self.assertEqual(field(path, "Architecture"), arch)
                self.assertRegex(field(path, "Installed-Size"), r"^[1-9]\d*$")
            hub, lib, dev, virtual = (depends(deb(name, arch)) for name in NAMES)
            with self.subTest(arch=arch):
                self.assertEqual(dev["liblumo1"], "=" + self.version)
                for needs in (hub, virtual):
                    self.assertEqual(needs["liblumo1"], ">=" + self.upstream)
                self.assertIn("qivhub", virtual)
                self.assertIn("adduser", hub)
                for needs in (hub, lib, virtual):
                    self.assertRegex(needs.get("libc6", ""), r"^>=2\.\d+$")
                self.assertNotIn("liblumo1", lib)
                control = run(["dpkg-deb", "-I", deb("liblumo1", arch), "shlibs", "triggers"])
                self.assertIn(f"liblumo 1 liblumo1 (>= {self.upstream})", control)
                self.assertIn("activate-noawait ldconfig", control)
                self.assertEqual(run(["dpkg-deb", "-I", deb("qivhub", arch), "conffiles"]),
                                 "/etc/default/qivhub\n")

    def test_file_lists(self):
        for arch, triplet in TRIPLETS.items():
            lib = f"usr/lib/{triplet}"
            expected = {
                "qivhub": ["usr/bin/qivhub", "lib/systemd/system/qivhub.service",
                           "etc/default/qivhub"],
                "liblumo1": [f"{lib}/liblumo.so.{self.upstream}", f"{lib}/liblumo.so.1"],
                "liblumo-dev": [f"{lib}/liblumo.so", f"{lib}/pkgconfig/lumo.pc",
                                f"{lib}/cmake/lumo/lumoConfig.cmake", "usr/include/lumo/lumo.h",
                                "usr/include/lumo/version.h"],
                "qivhub-virtual": ["usr/lib/qivhub/qiv.so"],
            }
            for name, paths in expected.items():
                with self.subTest(arch=arch, package=name):
                    listing = contents(deb(name, arch))
                    for path in paths + [f"usr/share/doc/{name}/copyright",
                                         f"usr/share/doc/{name}/changelog.Debian.gz"]:
                        self.assertIn(path, listing)
                    # Nothing of a developer's install: no /usr/local, no run path helpers.
                    self.assertFalse([p for p in listing if p.startswith("usr/local")])
                    for path, (mode, _) in listing.items():
                        if mode.startswith("-"):
                            executable = path.startswith("usr/bin/")
                            self.assertEqual(mode, "-rwxr-xr-x" if executable else "-rw-r--r--",
                                             path)
            links = contents(deb("liblumo1", arch))
            self.assertEqual(links[f"{lib}/liblumo.so.1"][1], f"liblumo.so.{self.upstream}")
            self.assertEqual(contents(deb("liblumo-dev", arch))[f"{lib}/liblumo.so"][1],
                             "liblumo.so.1")

    def test_the_hub_package_carries_the_trace_reader_and_the_manual_pages(self):
        for arch in TRIPLETS:
            listing = contents(deb("qivhub", arch))
            for path in ("usr/bin/qivtrace", "usr/share/man/man8/qivhub.8.gz",
                         "usr/share/man/man1/qivtrace.1.gz"):
                self.assertTrue(path in listing, f"{arch}: no {path} in the qivhub package")

    def test_binaries_are_stripped_without_run_path_for_their_architecture(self):
        for arch in TRIPLETS:
            with tempfile.TemporaryDirectory() as root:
                for name in NAMES:
                    run(["dpkg-deb", "-x", deb(name, arch), root])
                elves = list(elf_files(root))
                self.assertGreaterEqual(len(elves), 3)
                for path in elves:
                    rel = os.path.relpath(path, root)
                    with self.subTest(arch=arch, file=rel):
                        header = run(["readelf", "-h", "-S", "-d", "-W", path])
                        self.assertNotIn("RPATH", header)
                        self.assertNotIn("RUNPATH", header)
                        self.assertNotIn(".symtab", header)
                        if arch == "armhf":
                            self.assertRegex(header, r"Class:\s+ELF32")
                            self.assertRegex(header, r"Machine:\s+ARM")
                            self.assertIn("hard-float ABI", header)
                            self.assertRegex(run(["readelf", "-A", path]),
                                             r"Tag_ABI_VFP_args: VFP registers")
                        else:
                            self.assertRegex(header, r"Class:\s+ELF64")
                            self.assertRegex(header, r"Machine:\s+Advanced Micro Devices X86-64")
                        if "liblumo.so" in rel:
                            self.assertIn("Library soname: [liblumo.so.1]", header)

    def test_maintainer_scripts_create_the_user_once_and_enable_nothing(self):
        with tempfile.TemporaryDirectory() as tmp:
            control = os.path.join(tmp, "DEBIAN")
            run(["dpkg-deb", "-e", deb("qivhub", "amd64"), control])
            for name in ("postinst", "prerm", "postrm"):
                with open(os.path.join(control, name), encoding="utf-8") as f:
                    self.assertNotRegex(f.read(), r"systemctl\s+(enable|start)|helper enable")
            # Stand-ins record what the script asks of the system; the user exists after the
            # first adduser call, and is in dialout after the second.
            stubs = os.path.join(tmp, "bin")
            os.mkdir(stubs)
            log = os.path.join(tmp, "calls")
            for name, body in {
                "adduser": f'echo "adduser $*" >> {log}; '
                           f'[ "$2" = --system ] && touch {tmp}/user; '
                           f'[ "$3" = dialout ] && touch {tmp}/dialout; exit 0',
                "getent": f'[ "$1" = group ] && exit 0; [ -e {tmp}/user ]',
                "id": f'[ -e {tmp}/dialout ] && echo qivhub dialout || echo qivhub',
                "systemctl": f'echo "systemctl $*" >> {log}',
                "deb-systemd-invoke": f'echo "deb-systemd-invoke $*" >> {log}',
            }.items():
                with open(os.path.join(stubs, name), "w", encoding="utf-8") as f:
                    f.write(f"#!/bin/sh\n{body}\n")
                os.chmod(os.path.join(stubs, name), 0o755)
            env = dict(os.environ, PATH=f"{stubs}:{os.environ['PATH']}")
            postinst = os.path.join(control, "postinst")
            subprocess.run([postinst, "configure"], check=True, env=env)
            subprocess.run([postinst, "configure", self.version], check=True, env=env)
            with open(log, encoding="utf-8") as f:
                calls = [c for c in f.read().splitlines() if c.startswith("adduser")]
            self.assertEqual(len(calls), 2, calls)
            self.assertRegex(calls[0], r"--system .*--group .*qivhub$")
            self.assertEqual(calls[1], "adduser --quiet qivhub dialout")

    def test_the_shipped_unit_passes_systemd_analyze(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed")
        unit_path = os.path.join(ROOT, "lib", "systemd", "system", "qivhub.service")
        with open(unit_path, encoding="utf-8") as f:
            unit = f.read()
        with open(os.path.join(ROOT, "etc", "default", "qivhub"), encoding="utf-8") as f:
            defaults = f.read()
        # The unit reads the packaged environment file, which points at the packaged plug-in.
        self.assertIn("EnvironmentFile=-/etc/default/qivhub\n", unit)
        self.assertRegex(defaults, r'(?m)^QIVHUB_OPTIONS="-l /usr/lib/qivhub"$')
        # The same unit, its program found in the scratch root: systemd checks that it exists.
        self.assertIn("ExecStart=/usr/bin/qivhub $QIVHUB_OPTIONS\n", unit)
        with tempfile.TemporaryDirectory() as tmp:
            copy = os.path.join(tmp, "qivhub.service")
            with open(copy, "w", encoding="utf-8") as f:
                f.write(unit.replace("ExecStart=/usr/bin/", f"ExecStart={ROOT}/usr/bin/"))
            man = os.path.join(ROOT, "usr", "share", "man")
            has_man = os.path.exists(os.path.join(man, "man8", "qivhub.8.gz"))
            result = subprocess.run(
                ["systemd-analyze", "verify", f"--man={'yes' if has_man else 'no'}", copy],
                capture_output=True, text=True, env=dict(os.environ, MANPATH=man))
        # Unknown keys and bad values are only warnings to systemd-analyze: any output fails.
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))

    def test_lintian_reports_no_errors(self):
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed")
        debs = [deb(name, arch) for arch in TRIPLETS for name in NAMES]
        result = subprocess.run(["lintian", "--fail-on", "error", *debs],
                                capture_output=True, text=True)
        print(result.stdout, end="", file=sys.stderr)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotRegex(result.stdout, r"(?m)^E: ")


if __name__ == "__main__":
    outcome = unittest.main(verbosity=2, exit=False).result
    failed = len(outcome.failures) + len(outcome.errors) + len(outcome.unexpectedSuccesses)
    skipped = len(outcome.skipped)
    print(f"package_test: {outcome.testsRun - failed - skipped} passed, {failed} failed, "
          f"{skipped} skipped")
    sys.exit(1 if failed else 0)
