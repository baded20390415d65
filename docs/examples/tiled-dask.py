#!/usr/bin/env python3
"""Traces one large image (a tiled TIFF or BigTIFF, or any format lintrace
reads) on the workers of a Dask cluster (Debian package python3-distributed):
bands of rows on the workers, the groups that cross from band to band linked
afterwards, and the connectivity list written as `lintrace --stream` writes
it, byte for byte.

    python3 tiled-dask.py mosaic.tif mosaic.list                  # a cluster of this machine's cores
    python3 tiled-dask.py mosaic.tif mosaic.list --workers 2 --tile 4096
    python3 tiled-dask.py mosaic.tif mosaic.list --scheduler tcp://head:8786   # a running cluster

With a scheduler address, every worker must import lintrace and see the
image at the same path (a shared file system); the list is written by this
process.
"""
import argparse
import os
import sys
import time

from dask.distributed import Client, LocalCluster

import lintrace.dask


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image")
    parser.add_argument("output")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--tile", type=int, default=4096, help="rows of a band (default 4096)")
    parser.add_argument("--sigma", type=float, default=1.0)
    parser.add_argument("--subpixel", action="store_true")
    options = parser.parse_args()

    if options.scheduler:
        client = Client(options.scheduler)
    else:
        cluster = LocalCluster(n_workers=options.workers, threads_per_worker=1, dashboard_address=None)
        client = Client(cluster)
    with client:
        workers = len(client.scheduler_info()["workers"])
        start = time.perf_counter()
        try:
            edges = lintrace.dask.trace_tiled(os.path.abspath(options.image), client, tile=options.tile,
                                              output=options.output, sigma=options.sigma, subpixel=options.subpixel)
        except (OSError, ValueError) as failure:
            print("tiled-dask.py: %s" % failure, file=sys.stderr)
            return 1
        seconds = time.perf_counter() - start
    print("%s: %d edges in %.1f s on %d workers, bands of %d rows" % (options.output, edges, seconds, workers,
                                                                     options.tile))
    return 0


if __name__ == "__main__":
    sys.exit(main())
