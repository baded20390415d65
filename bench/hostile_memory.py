#!/usr/bin/env python3
"""Peak memory of lintrace, in bytes per pixel, on the images of
hostile_images.py (and any other PGM given), at -s 0.4, 1.0 and 2.0, with and
without -sp, for every output format: the figures of the README's bound. Each
run is a child process whose peak resident memory the kernel reports; the
output goes to /dev/null.

usage: hostile_memory.py [--formats list,svg,geojson,csv,dxf] LINTRACE THREADS IMAGE.pgm ...
"""
import os
import subprocess
import sys


def pixels(path):
    with open(path, "rb") as image:
        fields = []
        while len(fields) < 3:
            line = image.readline()
            if not line.startswith(b"#"):
                fields += line.split()
        return int(fields[1]) * int(fields[2])


def peak_bytes(argv):
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    if status != 0:
        sys.exit("%s failed" % " ".join(argv))
    return usage.ru_maxrss * 1024


def main():
    arguments = sys.argv[1:]
    formats = ["list", "svg", "geojson", "csv", "dxf"]
    if arguments[:1] == ["--formats"]:
        formats, arguments = arguments[1].split(","), arguments[2:]
    program, threads, images = arguments[0], arguments[1], arguments[2:]
    settings = [("-s", s) + sp for s in ("0.4", "1.0", "2.0") for sp in ((), ("-sp",))]
    print("%-24s" % "image, format" + "".join("%10s" % " ".join(s[1:]) for s in settings))
    worst = {}
    for path in images:
        for output in formats:
            row = "%-24s" % (os.path.basename(path)[:-4] + " " + output)
            for setting in settings:
                argv = [program, "-i", path, "-o", "/dev/null", "--format", output, "--threads", threads, *setting]
                per_pixel = peak_bytes(argv) / pixels(path)
                key = (output, "-sp" in setting)
                worst[key] = max(worst.get(key, 0.0), per_pixel)
                row += "%10.1f" % per_pixel
            print(row, flush=True)
    for output in formats:
        print("worst %-8s %.1f B/px, %.1f with -sp" % (output + ":", worst[(output, False)], worst[(output, True)]))


if __name__ == "__main__":
    main()
