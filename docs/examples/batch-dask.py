#!/usr/bin/env python3
"""Traces every image of a folder (netpbm, PNG, JPEG, TIFF) on a Dask cluster (Debian package
python3-distributed): one task per image, each writing the image's
connectivity list beside it, then a summary table of all of them.

    python3 batch-dask.py photos                     # a cluster of this machine's cores
    python3 batch-dask.py photos --workers 2         # two worker processes
    python3 batch-dask.py photos --scheduler tcp://head:8786   # a running cluster

With a scheduler address, every worker must import lintrace and see the
folder at the same path (a shared file system). The table goes to the
standard output stream and to FOLDER/summary.tsv.
"""
import argparse
import os
import sys
import time

from dask.distributed import Client, LocalCluster, as_completed, get_worker

import lintrace

IMAGES = (".pgm", ".ppm", ".pnm", ".pbm", ".pam", ".png", ".jpg", ".jpeg", ".tif", ".tiff")


def trace_one(path, sigma, subpixel, threads):
    """One task: the image's list written beside it (name.list); a row of the summary."""
    start = time.perf_counter()
    image = lintrace.read(path)
    edges = lintrace.trace(image, sigma=sigma, subpixel=subpixel, threads=threads)
    edges.write_list(os.path.splitext(path)[0] + ".list")
    return {"image": path, "rows": image.shape[0], "columns": image.shape[1], "edges": len(edges),
            "points": len(edges.points), "seconds": time.perf_counter() - start, "worker": get_worker().address}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--sigma", type=float, default=1.0)
    parser.add_argument("--subpixel", action="store_true")
    parser.add_argument("--threads", type=int, default=1, help="threads of each trace (default 1: one image per core)")
    options = parser.parse_args()

    images = sorted(os.path.abspath(os.path.join(root, name)) for root, _, names in os.walk(options.folder)
                    for name in names if name.lower().endswith(IMAGES))
    if options.scheduler:
        client = Client(options.scheduler)
    else:
        cluster = LocalCluster(n_workers=options.workers, threads_per_worker=1, dashboard_address=None)
        client = Client(cluster)
    with client:
        workers = len(client.scheduler_info()["workers"])
        start = time.perf_counter()
        tasks = [client.submit(trace_one, path, options.sigma, options.subpixel, options.threads, pure=False)
                 for path in images]
        rows, failed = [], 0
        for task in as_completed(tasks):
            try:
                rows.append(task.result())
            except Exception as failure:  # one bad image does not stop the others
                failed += 1
                print("%s: %s" % (images[tasks.index(task)], failure), file=sys.stderr)
        elapsed = time.perf_counter() - start

    rows.sort(key=lambda row: row["image"])
    columns = ["image", "rows", "columns", "edges", "points", "seconds", "worker"]
    table = ["\t".join(columns)]
    table += ["\t".join("%.3f" % row[c] if c == "seconds" else str(row[c]) for c in columns) for row in rows]
    table.append("# %d images, %d edges, %.2f s on %d workers%s" % (
        len(rows), sum(row["edges"] for row in rows), elapsed, workers, ", %d failed" % failed if failed else ""))
    text = "\n".join(table) + "\n"
    sys.stdout.write(text)
    with open(os.path.join(options.folder, "summary.tsv"), "w") as summary:
        summary.write(text)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
