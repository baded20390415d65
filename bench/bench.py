#!/usr/bin/env python3
"""The benchmark: lintrace on real photographs of about 1, 4, 16 and 64
megapixels, end to end and stage by stage, beside OpenCV's GaussianBlur +
Canny + findContours where OpenCV's development package is installed.

Prints, for every image and setting: milliseconds per megapixel of the whole
run (best of a few) and of each stage, and the peak memory of the whole run in
bytes per pixel. Then the whole run writing each output format, and with
thresholds chosen by --auto. Figures only; nothing is asserted.

usage: bench.py [--build DIR] [--sizes 1,4,16,64] [--threads N] [--runs N] [--quick]
(--threads N: lintrace runs on the first N cores the process may use)
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def run_measured(command, output=None):
    """Runs a command; returns (seconds, peak resident bytes, standard output).
    The list file `output` is removed first: every run writes a new file, as a
    batch over many images does, rather than paying for discarding the last
    run's list."""
    if output is not None and os.path.exists(output):
        os.remove(output)
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    out = process.stdout.read().decode()
    err = process.stderr.read().decode()
    if os.WEXITSTATUS(status) != 0:
        sys.exit("bench: %s failed: %s" % (" ".join(command), err))
    return seconds, usage.ru_maxrss * 1024, out


def pixels_of(path):
    with open(path, "rb") as image:
        header = image.read(64).split()
    return int(header[1]) * int(header[2])


def build_opencv_pipeline(build):
    """Builds the OpenCV pipeline if OpenCV's development package is there."""
    if shutil.which("pkg-config") is None:
        return None
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "opencv4"], capture_output=True, text=True)
    if flags.returncode != 0:
        return None
    binary = os.path.join(build, "opencv_pipeline")
    source = os.path.join(HERE, "opencv_pipeline.cpp")
    if not os.path.exists(binary) or os.path.getmtime(binary) < os.path.getmtime(source):
        subprocess.run(["g++", "-O2", "-std=c++17", source, "-o", binary] + flags.stdout.split(), check=True)
    return binary


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--sizes", default="1,4,16,64")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="only -s 1.0 -lt 3 -ht 6, pixel mode")
    arguments = parser.parse_args()

    work = os.path.join(HERE, "work")
    sizes = [int(s) for s in arguments.sizes.split(",")]
    # Debian's own Python is the one python3-skimage (with PIL) installs into.
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    subprocess.run([python, os.path.join(HERE, "make_images.py"), work] + [str(s) for s in sizes], check=True)
    lintrace = os.path.join(arguments.build, "lintrace", "lintrace")
    stages = os.path.join(arguments.build, "bench", "stages")
    opencv = build_opencv_pipeline(arguments.build)
    output = os.path.join(work, "out.list")

    settings = [("-s 1.0 -lt 3 -ht 6", "1.0", "3", "6", "0")]
    if not arguments.quick:
        settings += [("-s 1.0 (default thresholds)", "1.0", "1.4", "2.0", "0"),
                     ("-s 1.0 -sp", "1.0", "1.4", "2.0", "1"),
                     ("-s 2.0", "2.0", "1.4", "2.0", "0"),
                     ("-s 2.0 -sp", "2.0", "1.4", "2.0", "1")]

    print("lintrace, %d thread(s); milliseconds per megapixel (best of at least %d runs, each writing a new list file),"
          " peak memory in bytes per pixel" % (arguments.threads, arguments.runs))
    print("%-30s %6s | %8s %6s | %6s %9s %7s %7s" % ("setting", "MP", "total", "B/px", "read", "gradient+",
                                                     "linking", "writing"))
    print("%-30s %6s | %8s %6s | %6s %9s %7s %7s" % ("", "", "", "", "", "suppress", "", ""))
    for label, sigma, low, high, sub_pixel in settings:
        for size in sizes:
            image = os.path.join(work, "photo-%dmp.pgm" % size)
            pixels = pixels_of(image)
            cores = ",".join(str(c) for c in sorted(os.sched_getaffinity(0))[:arguments.threads])
            command = ["taskset", "-c", cores, lintrace, "-i", image, "-o", output, "-s", sigma, "-lt", low, "-ht", high]
            if sub_pixel == "1":
                command.append("-sp")
            # Small images run more often, so that the best run is as reliable as a large image's.
            runs = max(arguments.runs, int(48e6 / pixels))
            best, peak = 1e30, 0
            for _ in range(runs):
                seconds, resident, _ = run_measured(command, output)
                best, peak = min(best, seconds), max(peak, resident)
            stage_figures = None
            for _ in range(runs):
                _, _, out = run_measured([stages, image, sigma, low, high, sub_pixel, str(arguments.threads), output],
                                         output)
                figures = [float(v) for v in out.split()[:5]]
                if stage_figures is None or figures[4] < stage_figures[4]:
                    stage_figures = figures
            print("%-30s %6.1f | %8.2f %6.2f | %6.2f %9.2f %7.2f %7.2f" % (
                label, pixels / 1e6, 1000 * best / (pixels / 1e6), peak / pixels, *stage_figures[:4]))
    if os.path.exists(output):
        os.remove(output)

    if not arguments.quick:
        # The vector formats keep the gradient at the points (a second gradient
        # pass) and write every number in full; --auto computes every magnitude.
        print("\nlintrace -s 1.0 -lt 3 -ht 6 -sp by output, %d thread(s); milliseconds per megapixel (best of at least"
              " %d runs), peak memory in bytes per pixel" % (arguments.threads, arguments.runs))
        print("%-8s %15s %15s %15s %15s %15s" % ("MP", "list", "svg", "geojson", "csv", "list --auto"))
        cores = ",".join(str(c) for c in sorted(os.sched_getaffinity(0))[:arguments.threads])
        for size in sizes:
            image = os.path.join(work, "photo-%dmp.pgm" % size)
            pixels = pixels_of(image)
            cells = []
            for ending, extra in ((".list", []), (".svg", []), (".geojson", []), (".csv", []), (".list", ["--auto"])):
                target = os.path.join(work, "out" + ending)
                command = ["taskset", "-c", cores, lintrace, "-i", image, "-o", target, "-s", "1.0", "-sp"]
                command += extra if extra else ["-lt", "3", "-ht", "6"]
                best, peak = 1e30, 0
                for _ in range(max(arguments.runs, int(48e6 / pixels))):
                    seconds, resident, _ = run_measured(command, target)
                    best, peak = min(best, seconds), max(peak, resident)
                os.remove(target)
                cells.append("%8.2f %6.2f" % (1000 * best / (pixels / 1e6), peak / pixels))
            print("%-8.1f %s" % (pixels / 1e6, " ".join(cells)))

    if opencv is None:
        print("\nOpenCV's development package (libopencv-dev) is not installed: no comparison.")
        return
    print("\nOpenCV GaussianBlur(5x5, sigma 1) + Canny + findContours (thresholds 30 and 60), milliseconds per")
    print("megapixel (best of 3), beside the whole lintrace -s 1.0 -lt 3 -ht 6 run on as many cores (taskset)")
    print("%-8s %7s %12s %12s %10s %14s" % ("MP", "threads", "OpenCV 30/60", "lintrace", "ratio", "Canny share"))
    for size in sizes:
        image = os.path.join(work, "photo-%dmp.pgm" % size)
        pixels = pixels_of(image)
        for threads in sorted({1, arguments.threads}):
            _, _, out = run_measured([opencv, image, str(threads), "30", "60"])
            opencv_ms, share = (float(v) for v in out.split())
            best = 1e30
            cores = ",".join(str(c) for c in sorted(os.sched_getaffinity(0))[:threads])
            for _ in range(max(arguments.runs, int(48e6 / pixels))):
                seconds, _, _ = run_measured(["taskset", "-c", cores, lintrace, "-i", image, "-o", output, "-s", "1.0",
                                              "-lt", "3", "-ht", "6"], output)
                best = min(best, 1000 * seconds / (pixels / 1e6))
            print("%-8.1f %7d %12.2f %12.2f %10.2f %14.3f" % (pixels / 1e6, threads, opencv_ms, best, best / opencv_ms,
                                                              share))


if __name__ == "__main__":
    main()
