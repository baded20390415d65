#!/usr/bin/env python3
"""Fills the generated parts of README.md, each between a line
`<!-- begin: NAME -->` and a line `<!-- end: NAME -->`:

  usage-lintrace, usage-linpaint  the programs' own --help texts
  example-FILE                    docs/examples/FILE as it stands
  benchmark                       docs/benchmark.txt, written by bench/bench.py
  python-benchmark                docs/python-benchmark.txt, written by bench/python_bench.py

usage: update_readme.py [--check] [BUILD_DIRECTORY]
With --check nothing is written; the exit status is 1 when README.md is not
what this script would make of it.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
README = os.path.join(ROOT, "README.md")
SECTION = re.compile(r"(<!-- begin: (\S+) -->\n)(.*?)(<!-- end: \2 -->)", re.S)


def usage(build, program):
    binary = os.path.join(build, program, program)
    text = subprocess.run([program, "--help"], executable=binary, capture_output=True, text=True, check=True).stdout
    return "```\n" + text.expandtabs(8) + "```\n"


def content(build, name):
    if name.startswith("usage-"):
        return usage(build, name[len("usage-"):])
    if name.startswith("example-"):
        with open(os.path.join(HERE, "examples", name[len("example-"):])) as example:
            lines = [line for line in example.read().splitlines(True) if not line.startswith("#!")]
        return "```sh\n" + "".join(lines) + "```\n"
    if name in ("benchmark", "python-benchmark"):
        with open(os.path.join(HERE, name + ".txt")) as figures:
            return "```\n" + figures.read() + "```\n"
    sys.exit("update_readme.py: no section named " + name)


def main():
    arguments = [a for a in sys.argv[1:] if a != "--check"]
    build = arguments[0] if arguments else os.path.join(ROOT, "build")
    with open(README) as readme:
        old = readme.read()
    new = SECTION.sub(lambda m: m.group(1) + content(build, m.group(2)) + m.group(4), old)
    if "--check" in sys.argv:
        if new != old:
            print("README.md is out of date: run docs/update_readme.py")
            sys.exit(1)
        return
    with open(README, "w") as readme:
        readme.write(new)


if __name__ == "__main__":
    main()
