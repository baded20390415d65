#!/usr/bin/env python3
"""Figures of the Python module (nothing is asserted): on a 16-megapixel
mosaic of the bundled photographs, the time of lintrace.trace() and of the
list it makes, beside the lintrace program on the same image as a PGM file;
then two Python threads tracing an image each at once, against the same two
runs one after the other and in two processes at once.

usage: python_bench.py [--build BUILD] [--side 4096] [--repeat 3]
(the module is imported from BUILD/python)
"""
import argparse
import glob
import os
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

from netpbm import read_pgm

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def mosaic(side):
    """The photographs side by side, every other copy mirrored, until side x side."""
    photos = [read_pgm(p) for p in sorted(glob.glob(os.path.join(ROOT, "data", "*.pgm")))]
    height = min(p.shape[0] for p in photos)
    photos = [p[:height] for p in photos]
    rows, k = [], 0
    while sum(r.shape[0] for r in rows) < side:
        strip, width = [], 0
        while width < side:
            tile = photos[k % len(photos)]
            strip.append(tile[:, ::-1] if (k + len(rows)) % 2 else tile)
            width += tile.shape[1]
            k += 1
        rows.append(np.hstack(strip)[:, :side])
    return np.ascontiguousarray(np.vstack(rows)[:side])


def best(repeat, run):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--side", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sigma", type=float, default=1.0)
    options = parser.parse_args()
    sys.path.insert(0, os.path.join(options.build, "python"))
    import lintrace

    image = mosaic(options.side)
    megapixels = image.size / 1e6
    program = os.path.join(options.build, "lintrace", "lintrace")
    work = tempfile.mkdtemp()
    pgm = os.path.join(work, "mosaic.pgm")
    with open(pgm, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0]))
        f.write(image.tobytes())
    listed = os.path.join(work, "program.list")
    from_python = os.path.join(work, "python.list")
    sigma = ["-s", repr(options.sigma)]

    def with_program():
        subprocess.run([program, "-i", pgm, "-o", listed, *sigma], check=True)

    def python_to_file():
        lintrace.trace(image, sigma=options.sigma).write_list(from_python)

    print("%s x %s = %.1f megapixels, sigma %s, %d processor(s), load average %s; best of %d runs, seconds"
          % (image.shape[1], image.shape[0], megapixels, options.sigma, lintrace.available_processors(),
             "%.2f" % os.getloadavg()[0], options.repeat))
    program_time = best(options.repeat, with_program)
    python_time = best(options.repeat, python_to_file)
    trace_time = best(options.repeat, lambda: lintrace.trace(image, sigma=options.sigma))
    edges = lintrace.trace(image, sigma=options.sigma)
    list_time = best(options.repeat, edges.to_list)
    paint_time = best(options.repeat, lambda: lintrace.paint(edges))
    with open(listed, "rb") as a, open(from_python, "rb") as b:
        same = a.read() == b.read()
    print("lintrace program, PGM file to list file       %7.3f" % program_time)
    print("Python: trace() + write_list(path)            %7.3f   (%.2f x the program; same bytes: %s)"
          % (python_time, python_time / program_time, same))
    print("  trace() alone                               %7.3f" % trace_time)
    print("  to_list() alone                             %7.3f" % list_time)
    print("  paint() alone                               %7.3f" % paint_time)

    # Two images of half the size, one thread each.
    halves = [np.ascontiguousarray(image[: image.shape[0] // 2]), np.ascontiguousarray(image[image.shape[0] // 2:])]

    def one_after_the_other():
        for half in halves:
            lintrace.trace(half, sigma=options.sigma, threads=1)

    def at_once():
        threads = [threading.Thread(target=lintrace.trace, args=(half,), kwargs={"sigma": options.sigma, "threads": 1})
                   for half in halves]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    def two_processes():
        # The same two runs in two processes forked from this one: what the
        # machine gives two runs side by side, with no memory shared.
        import multiprocessing
        context = multiprocessing.get_context("fork")
        processes = [context.Process(target=lintrace.trace, args=(half,), kwargs={"sigma": options.sigma, "threads": 1})
                     for half in halves]
        for p in processes:
            p.start()
        for p in processes:
            p.join()

    sequential = best(options.repeat, one_after_the_other)
    parallel = best(options.repeat, at_once)
    # How many processors the two threads kept busy at once: CPU time over
    # wall time (2 on an idle 2-core machine, less where others run).
    cpu_start, wall_start = time.process_time(), time.perf_counter()
    at_once()
    busy = (time.process_time() - cpu_start) / (time.perf_counter() - wall_start)
    forked = best(options.repeat, two_processes)
    print("two halves, threads=1 each:")
    print("  one after the other                         %7.3f" % sequential)
    print("  two Python threads at once                  %7.3f   (%.2f x as fast; %.2f processors busy)"
          % (parallel, sequential / parallel, busy))
    print("  two processes at once                       %7.3f   (%.2f x as fast)" % (forked, sequential / forked))


if __name__ == "__main__":
    main()
