#!/usr/bin/env python3
"""Manual page generator: writes qivhub/qivhub.8 (roff, man(7) macros) from the page template
qivhub/qivhub.8.in and the hub's option and console-key lists in qivhub/impl/options.hpp, the
same lists the hub prints with --help.

    tools/gen_manpage.py               regenerate qivhub/qivhub.8
    tools/gen_manpage.py --check       fail (exit 1, with a diff) when the committed page differs
                                       from what the template and the lists give
    tools/gen_manpage.py --out FILE    write the page to FILE instead

The template's comment lines are left out. Placeholders in the template:

    @OPTIONS@          one .TP entry per X(name, argument, text) of QIVHUB_OPTIONS
    @CONSOLE_KEYS@     one .TP entry per X(key, text) of QIVHUB_CONSOLE_KEYS
    @VERSION@          the project version of CMakeLists.txt
    @<name>@           the value of a name the lists may use: wCmdline.<member> and
                       wConCmd.<member> (read from the generated wrapper sources) or a
                       qivhub::k... constant of options.hpp, escaped for roff

Standard library only: the generator runs on the build host, and the committed page is what
the build installs, so the cross build needs nothing extra.
"""

import argparse
import difflib
import os
import re
import sys

TOOLS_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT_DIR = os.path.dirname(TOOLS_DIR)
OPTIONS = "qivhub/impl/options.hpp"
TEMPLATE = "qivhub/qivhub.8.in"
PAGE = "qivhub/qivhub.8"
GENERATOR = "tools/gen_manpage.py"

STRING = r'"(?:[^"\\]|\\.)*"'
NAME = r"[A-Za-z_][\w]*(?:(?:\.|::)[A-Za-z_]\w*)*"


class Error(Exception):
    pass


def read(rel):
    with open(os.path.join(ROOT_DIR, rel), encoding="utf-8") as f:
        return f.read()


def c_string(literals):
    """The text of adjacent C string literals (the simple escapes a one-line text uses)."""
    text = ""
    for lit in re.findall(STRING, literals):
        body = lit[1:-1]
        text += re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t"}.get(m.group(1), m.group(1)),
                       body)
    return text


def macro_body(source, macro):
    """The replacement text of #define macro(X), its continuation lines joined."""
    m = re.search(r"^#define %s\(X\)(.*?)(?<!\\)$" % macro, source, re.M | re.S)
    if not m:
        raise Error("%s: no #define %s(X)" % (OPTIONS, macro))
    return m.group(1).replace("\\\n", " ")


def entries(source, macro, fields):
    """The X(name, "...", ...) entries of a list macro as (name, text, ...) tuples."""
    body = macro_body(source, macro)
    texts = r"\s*,\s*((?:%s\s*)+)" % STRING
    pattern = re.compile(r"X\(\s*(%s)%s\s*\)" % (NAME, texts * (fields - 1)))
    found = [(m.group(1),) + tuple(c_string(g) for g in m.groups()[1:])
             for m in pattern.finditer(body)]
    if len(found) != body.count("X("):
        raise Error("%s: an entry of %s is not X(name, \"text\"...)" % (OPTIONS, macro))
    if not found:
        raise Error("%s: %s lists nothing" % (OPTIONS, macro))
    return found


class Names:
    """Resolves the names the lists use to their values."""

    def __init__(self, options_source):
        self.values = {}
        for table, rel in (("wCmdline", "wrapper/Cmdline.cpp"), ("wConCmd", "wrapper/ConCmd.cpp")):
            # The generated records give each constant as: value,  // member
            for m in re.finditer(r"^\s*(%s|'(?:[^'\\]|\\.)'),\s*//\s*(\w+)$" % STRING, read(rel),
                                 re.M):
                value = m.group(1)
                self.values["%s.%s" % (table, m.group(2))] = (
                    c_string(value) if value.startswith('"') else value[1:-1])
        for m in re.finditer(r"constexpr\s+(?:const\s+char\s*\*|int)\s*(k\w+)\s*=\s*(%s|\d+);"
                             % STRING, options_source):
            value = m.group(2)
            self.values["qivhub::" + m.group(1)] = c_string(value) if value[0] == '"' else value

    def __call__(self, name):
        if name not in self.values:
            raise Error("unknown name %s (not a wCmdline or wConCmd member, nor a constant of %s)"
                        % (name, OPTIONS))
        return self.values[name]


def roff(text, minus=False):
    """Text safe in a roff line: backslashes escaped, a leading control character guarded and,
    for option names, hyphens as minus signs (so they can be searched for and copied)."""
    text = text.replace("\\", "\\e")
    if minus:
        text = text.replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def option_entries(source, names):
    lines = []
    for name, arg, text in entries(source, "QIVHUB_OPTIONS", 3):
        option = roff(names(name), minus=True)
        lines.append(".TP")
        lines.append('.BI %s " %s"' % (option, roff(arg)) if arg else ".B %s" % option)
        lines.append(roff(text))
    return lines


def key_entries(source, names):
    lines = []
    for name, text in entries(source, "QIVHUB_CONSOLE_KEYS", 2):
        lines += [".TP", ".B %s" % roff(names(name)), roff(text)]
    return lines


def project_version():
    m = re.search(r"project\(\s*qivhub\s+VERSION\s+([\d.]+)", read("CMakeLists.txt"))
    if not m:
        raise Error("CMakeLists.txt: no project(qivhub VERSION ...)")
    return m.group(1)


def generate():
    source = read(OPTIONS)
    names = Names(source)
    blocks = {
        "OPTIONS": option_entries(source, names),
        "CONSOLE_KEYS": key_entries(source, names),
        "VERSION": [project_version()],
    }
    out = ['.\\" Generated by %s from %s and %s; do not edit.' % (GENERATOR, TEMPLATE, OPTIONS)]
    for line in read(TEMPLATE).splitlines():
        if line.startswith('.\\"'):
            continue  # the template's own comments
        whole = re.fullmatch(r"@([A-Z_]+)@", line)
        if whole and whole.group(1) in blocks and whole.group(1) != "VERSION":
            out += blocks[whole.group(1)]
            continue

        def value(m):
            key = m.group(1)
            if key == "VERSION":
                return blocks["VERSION"][0]
            return roff(names(key), minus=True)
        out.append(re.sub(r"@(VERSION|%s)@" % NAME, value, line))
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--check", action="store_true", help="compare with the committed page")
    parser.add_argument("--out", help="write the page here instead of %s" % PAGE)
    args = parser.parse_args()
    try:
        page = generate()
    except (Error, OSError) as e:
        print("gen_manpage: %s" % e, file=sys.stderr)
        return 2
    target = os.path.join(ROOT_DIR, PAGE)
    if args.check:
        try:
            with open(target, encoding="utf-8") as f:
                committed = f.read()
        except FileNotFoundError:
            committed = ""
        if committed == page:
            return 0
        sys.stdout.writelines(difflib.unified_diff(committed.splitlines(True),
                                                   page.splitlines(True), PAGE, "generated"))
        print("%s is not what %s makes of %s and %s: run it and commit the result"
              % (PAGE, GENERATOR, TEMPLATE, OPTIONS))
        return 1
    with open(args.out or target, "w", encoding="utf-8") as f:
        f.write(page)
    return 0


if __name__ == "__main__":
    sys.exit(main())
