#!/usr/bin/env python3
"""The large-image benchmark: lintrace on tiled BigTIFF mosaics of the
bundled photographs (bench/make_mosaic.py), from 64 megapixels up, in the
standard mode (the whole image in memory), the streaming mode (--stream, a
band of rows at a time) and on Dask (lintrace.dask.trace_tiled on a local
cluster of worker processes).

Prints one line per run: the mode, the image's megapixels (2^20 pixels), the
threads (or Dask workers), the seconds, megapixels a second, and the peak
resident memory. Every run is a fresh process, whose peak is its own
ru_maxrss; on Dask the seconds are those of trace_tiled alone (the cluster
is started before), the peak is the client's, and each worker's peak is
given beside it. Then, for every size, whether the modes' lists hold the
same edges (each list's edges as blocks of lines closed by "-1 -1", compared
as multisets, so the order of edges in the files does not count), whether a
mode gives the same bytes on every thread count, and the ratios of the
streaming mode to the standard mode.

A mode the program (or the module) does not offer yet is skipped with a line
that says so. A run that fails (out of memory, say) is printed as "failed:"
with the reason, and the benchmark goes on. The standard mode runs with its
address space limited to the machine's memory, so that a run too large for
it fails on its own allocation instead of pushing the machine out of memory.

usage: large_images.py [--lintrace PROGRAM] [--python DIR] [--sizes 64,1024] [--huge]
                       [--modes standard,stream,dask] [--threads 1,2] [--workdir DIR] [--keep]
                       [--options "-s 1.0 -lt 3 -ht 6"] [--tile 512] [--dask-tile 4096]
"""
import argparse
import hashlib
import json
import os
import resource
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import make_mosaic  # noqa: E402

MEGA = 2**20
HUGE_MEGAPIXELS = 16384  # 131072 x 131072
# Until a size has given its own figure, a list is expected to take this many
# bytes a pixel on the photographs (the default options give about 2.5).
LIST_BYTES_A_PIXEL = 4.0
CHUNK_BYTES = 64 << 20
END_OF_EDGE = b"\n-1 -1\n"


def side_of(megapixels, tile):
    """The side of the square mosaic of about this many megapixels, a
    multiple of the tile side."""
    return max(tile, int(round((megapixels * MEGA) ** 0.5 / tile)) * tile)


def gib(n):
    return n / 2**30


def memory_bytes():
    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")


def has_stream(lintrace):
    run = subprocess.run([lintrace, "--help"], capture_output=True, text=True)
    return "--stream" in run.stdout + run.stderr


def has_dask(python_dir):
    probe = ("import importlib.util, sys\n"
             "import distributed, lintrace\n"
             "sys.exit(0 if importlib.util.find_spec('lintrace.dask') else 3)\n")
    run = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=python_dir))
    if run.returncode == 0:
        try:
            subprocess.run([sys.executable, "-c", "import lintrace.dask as d; d.trace_tiled"], check=True,
                           capture_output=True, env=dict(os.environ, PYTHONPATH=python_dir))
            return None
        except subprocess.CalledProcessError as error:
            return "lintrace.dask has no trace_tiled: " + error.stderr.decode().strip().splitlines()[-1]
    if run.returncode == 3:
        return "the module in %s has no lintrace.dask" % python_dir
    return (run.stderr.strip().splitlines() or ["cannot import distributed and lintrace"])[-1]


def edge_digests(path):
    """The 64-bit hashes of a list's edges, sorted: two lists hold the same
    edges (the same points in the same order) exactly when these agree, but
    for a collision of the hash. An edge is its block of lines up to its
    "-1 -1"; the file is read a chunk at a time, so a list of gigabytes needs
    only 8 bytes an edge. Python's hash of bytes is seeded per process, which
    is enough: both lists are hashed by the same process."""
    parts, rest = [], b""
    with open(path, "rb") as stream:
        while True:
            chunk = stream.read(CHUNK_BYTES)
            if not chunk:
                break
            # The last piece is an edge the next chunk goes on with.
            blocks = (rest + chunk).split(END_OF_EDGE)
            rest = blocks.pop()
            parts.append(np.fromiter(map(hash, blocks), np.int64, len(blocks)))
    if rest.strip():
        raise ValueError("%s ends inside an edge (no closing -1 -1)" % path)
    digests = np.concatenate(parts) if parts else np.empty(0, np.int64)
    digests.sort()
    return digests


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for chunk in iter(lambda: stream.read(CHUNK_BYTES), b""):
            digest.update(chunk)
    return digest.hexdigest()


def run_program(command, limit_memory):
    """Runs the program in a fresh process; returns (seconds, peak resident
    bytes, None) or (None, None, reason)."""
    def limit():
        if limit_memory:
            cap = memory_bytes()
            resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    start = time.perf_counter()
    with tempfile.TemporaryFile() as errors:
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=errors, preexec_fn=limit)
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - start
        errors.seek(0)
        text = errors.read().decode(errors="replace").strip()
    if os.WIFSIGNALED(status):
        signal = os.WTERMSIG(status)
        return None, None, "killed by signal %d%s" % (signal, " (out of memory?)" if signal == 9 else "")
    if os.WEXITSTATUS(status) != 0:
        last = text.splitlines()[-1] if text else ""
        return None, None, "exit status %d: %s" % (os.WEXITSTATUS(status), last)
    return seconds, usage.ru_maxrss * 1024, None


def run_dask(python_dir, image, output, workers, tile, trace_options):
    """Runs trace_tiled in a fresh Python process on a new local cluster of
    `workers` worker processes; returns (seconds, client peak, worker peaks,
    None) or (None, None, None, reason)."""
    command = [sys.executable, os.path.abspath(__file__), "--dask-child",
               json.dumps({"image": image, "output": output, "workers": workers, "tile": tile,
                           "options": trace_options})]
    run = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=python_dir))
    if run.returncode != 0:
        lines = (run.stderr or run.stdout).strip().splitlines()
        return None, None, None, "exit status %d: %s" % (run.returncode, lines[-1] if lines else "")
    figures = json.loads(run.stdout.strip().splitlines()[-1])
    return figures["seconds"], figures["client"], figures["workers"], None


def dask_child(arguments):
    """The process run_dask starts: the cluster, then the traced image."""
    import distributed
    import lintrace.dask
    job = json.loads(arguments)
    with distributed.LocalCluster(n_workers=job["workers"], threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(job["workers"])
        start = time.perf_counter()
        lintrace.dask.trace_tiled(job["image"], client, tile=job["tile"], output=job["output"], **job["options"])
        seconds = time.perf_counter() - start
        peaks = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
    print(json.dumps({"seconds": seconds, "client": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                      "workers": [peaks[w] for w in sorted(peaks)]}))


def trace_keywords(options):
    """The module's keywords for the program's options -s, -lt, -ht, -sp."""
    # The program reads the three in single precision.
    single = lambda text: float(np.float32(text))  # noqa: E731
    names = {"-s": ("sigma", single), "-lt": ("low", single), "-ht": ("high", single)}
    words, keywords, k = shlex.split(options), {}, 0
    while k < len(words):
        if words[k] in names and k + 1 < len(words):
            name, kind = names[words[k]]
            keywords[name] = kind(words[k + 1])
            k += 2
        elif words[k] == "-sp":
            keywords["subpixel"] = True
            k += 1
        else:
            raise ValueError("the Dask mode takes only -s, -lt, -ht and -sp of the options, not %s" % words[k])
    return keywords


class Table:
    FORMAT = "%-9s %8s %8s %9s %8s %9s  %s"

    def __init__(self):
        print(self.FORMAT % ("mode", "Mpx", "threads", "seconds", "Mpx/s", "peak MB", ""))

    def row(self, mode, megapixels, threads, seconds=None, peak=None, note=""):
        if seconds is None:
            print(self.FORMAT % (mode, "%.0f" % megapixels, threads, "-", "-", "-", note), flush=True)
        else:
            print(self.FORMAT % (mode, "%.0f" % megapixels, threads, "%.2f" % seconds, "%.1f" % (megapixels / seconds),
                                 "%.0f" % (peak / MEGA), note), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--lintrace", default=os.path.join(ROOT, "build", "lintrace", "lintrace"))
    parser.add_argument("--python", default=os.path.join(ROOT, "build", "python"),
                        help="where the lintrace module is built (PYTHONPATH of the Dask runs)")
    parser.add_argument("--sizes", default="64,1024", help="megapixels of the square mosaics, comma-separated")
    parser.add_argument("--huge", action="store_true", help="also the 16384-megapixel mosaic, streaming mode only")
    parser.add_argument("--modes", default="standard,stream,dask")
    parser.add_argument("--threads", default="1,2", help="thread counts (Dask: worker counts)")
    parser.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "lintrace-large"))
    parser.add_argument("--keep", action="store_true",
                        help="keep the mosaics and lists made (a later run reuses the mosaics)")
    parser.add_argument("--options", default="-s 1.0 -lt 3 -ht 6", help="lintrace's options for every run")
    parser.add_argument("--tile", type=int, default=512, choices=(256, 512), help="the mosaics' tile side")
    parser.add_argument("--dask-tile", type=int, default=4096, help="trace_tiled's tile side")
    parser.add_argument("--dask-child", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.dask_child:
        dask_child(arguments.dask_child)
        return

    lintrace = os.path.abspath(arguments.lintrace)
    if not os.access(lintrace, os.X_OK):
        sys.exit("large_images.py: no lintrace program at %s (build it, or give --lintrace)" % lintrace)
    modes = arguments.modes.split(",")
    for mode in modes:
        if mode not in ("standard", "stream", "dask"):
            sys.exit("large_images.py: no mode named '%s' (standard, stream, dask)" % mode)
    threads = [int(t) for t in arguments.threads.split(",")]
    sizes = [float(s) for s in arguments.sizes.split(",")]
    if arguments.huge and HUGE_MEGAPIXELS not in sizes:
        sizes.append(HUGE_MEGAPIXELS)
    options = shlex.split(arguments.options)
    os.makedirs(arguments.workdir, exist_ok=True)

    unavailable = {}
    if "stream" in modes and not has_stream(lintrace):
        unavailable["stream"] = "not available: %s --help offers no --stream" % lintrace
    if "dask" in modes:
        reason = has_dask(os.path.abspath(arguments.python))
        if reason is None:
            try:
                dask_keywords = trace_keywords(arguments.options)
            except ValueError as error:
                reason = str(error)
        if reason is not None:
            unavailable["dask"] = "not available: " + reason

    print("lintrace %s on tiled BigTIFF mosaics of the bundled photographs (tiles %d x %d), in %s"
          % (arguments.options, arguments.tile, arguments.tile, arguments.workdir))
    table = Table()
    observed_bytes_a_pixel = 0.0
    for size in sizes:
        side = side_of(size, arguments.tile)
        pixels = side * side
        megapixels = pixels / MEGA
        image = os.path.join(arguments.workdir, "mosaic-%d.tif" % side)
        made = False
        if not make_mosaic.is_mosaic(image, side, side, arguments.tile):
            start = time.perf_counter()
            try:
                make_mosaic.make_mosaic(image, side, side, arguments.tile, quiet=True)
            except SystemExit as refusal:
                # No room for the mosaic: the smaller sizes' figures still stand.
                print("(%.0f Mpx skipped: %s)" % (megapixels, refusal), flush=True)
                continue
            made = True
            print("(made %s, %d x %d, in %.0f s)" % (image, side, side, time.perf_counter() - start), flush=True)
        # The modes that run on this size; the largest is the streaming mode's alone.
        size_modes = [m for m in modes if size < HUGE_MEGAPIXELS or m == "stream"]
        kept = {}       # mode -> the list of its first run, while another mode still needs it
        digests = {}    # mode -> [(threads, sha256 of its list)]
        figures = {}    # (mode, threads) -> (seconds, peak)
        for mode in size_modes:
            if mode in unavailable:
                table.row(mode, megapixels, "-", note=unavailable[mode])
                continue
            for count in threads:
                output = os.path.join(arguments.workdir, "%s-%d-%d.list" % (mode, side, count))
                needed = pixels * (observed_bytes_a_pixel or LIST_BYTES_A_PIXEL) * 1.2
                free = shutil.disk_usage(arguments.workdir).free
                if free < needed:
                    table.row(mode, megapixels, count, note="skipped: %s has %.1f GiB free, the list may take %.1f GiB"
                              % (arguments.workdir, gib(free), gib(needed)))
                    continue
                note = ""
                if mode == "dask":
                    seconds, peak, workers, failure = run_dask(os.path.abspath(arguments.python), image, output, count,
                                                               arguments.dask_tile, dask_keywords)
                    if workers:
                        note = "workers' peaks: " + ", ".join("%.0f" % (w / MEGA) for w in workers) + " MB"
                else:
                    command = [lintrace, "-i", image, "-o", output, "--threads", str(count)] + options
                    if mode == "stream":
                        command.append("--stream")
                    seconds, peak, failure = run_program(command, limit_memory=(mode == "standard"))
                if failure is not None:
                    table.row(mode, megapixels, count, note="failed: " + failure)
                    if os.path.exists(output):
                        os.remove(output)
                    continue
                figures[(mode, count)] = (seconds, peak)
                table.row(mode, megapixels, count, seconds, peak, note)
                observed_bytes_a_pixel = max(observed_bytes_a_pixel, os.path.getsize(output) / pixels)
                digests.setdefault(mode, []).append((count, file_digest(output)))
                others_to_come = len([m for m in size_modes if m not in unavailable]) > 1
                if mode not in kept and others_to_come:
                    kept[mode] = output
                elif not arguments.keep:
                    os.remove(output)
        compare(megapixels, kept, digests, figures)
        if not arguments.keep:
            for output in kept.values():
                os.remove(output)
            if made:
                os.remove(image)


def compare(megapixels, kept, digests, figures):
    for mode, runs in digests.items():
        if len(runs) > 1:
            same = all(d == runs[0][1] for _, d in runs)
            print("%.0f Mpx, %s: the same bytes on %s threads: %s"
                  % (megapixels, mode, " and ".join(str(t) for t, _ in runs), "yes" if same else "no"))
    # The first mode that ran is the one the others are compared with.
    order = [m for m in ("standard", "stream", "dask") if m in kept]
    if len(order) > 1:
        reference = edge_digests(kept[order[0]])
        for mode in order[1:]:
            other = edge_digests(kept[mode])
            same = len(other) == len(reference) and bool(np.array_equal(other, reference))
            print("%.0f Mpx, %s and %s: same edges: %s (%d and %d edges)"
                  % (megapixels, order[0], mode, "yes" if same else "no", len(reference), len(other)))
    for (mode, count), (seconds, peak) in sorted(figures.items()):
        if mode == "standard" or ("standard", count) not in figures:
            continue
        base_seconds, base_peak = figures[("standard", count)]
        print("%.0f Mpx, %s / standard on %d thread(s): seconds a Mpx %.2f, peak memory %.3f"
              % (megapixels, mode, count, seconds / base_seconds, peak / base_peak))
    for (mode, count), (seconds, peak) in sorted(figures.items()):
        if mode == "stream" and megapixels >= HUGE_MEGAPIXELS:
            print("%.0f Mpx, stream on %d thread(s): peak %.2f GiB (%s 2 GiB)"
                  % (megapixels, count, gib(peak), "within" if peak <= 2 * 2**30 else "above"))


if __name__ == "__main__":
    main()
