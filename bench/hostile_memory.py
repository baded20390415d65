#!/usr/bin/env python3
"""Peak memory of lintrace, in bytes per pixel, on the images of
hostile_images.py (and any other PGM given), at -s 0.4, 1.0 and 2.0, with and
without -sp: the figures of the README's bound. Each run is a child process
whose peak resident memory the kernel reports; the list goes to /dev/null.

usage: hostile_memory.py LINTRACE THREADS IMAGE.pgm ...
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
    program, threads, images = sys.argv[1], sys.argv[2], sys.argv[3:]
    settings = [("-s", s) + sp for s in ("0.4", "1.0", "2.0") for sp in ((), ("-sp",))]
    print("%-16s" % "image" + "".join("%10s" % " ".join(s[1:]) for s in settings))
    worst = {False: 0.0, True: 0.0}
    for path in images:
        row = "%-16s" % os.path.basename(path)[:-4]
        for setting in settings:
            argv = [program, "-i", path, "-o", "/dev/null", "--threads", threads, *setting]
            per_pixel = peak_bytes(argv) / pixels(path)
            worst["-sp" in setting] = max(worst["-sp" in setting], per_pixel)
            row += "%10.1f" % per_pixel
        print(row, flush=True)
    print("worst: %.1f B/px, %.1f with -sp" % (worst[False], worst[True]))


if __name__ == "__main__":
    main()
