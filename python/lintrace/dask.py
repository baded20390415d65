"""One image traced across the workers of a Dask cluster, with the edges
of one process.

The image is cut into bands of `tile` rows across its width. Each worker
reads its band and the margin its gradient needs (only the strips or tiles
of a TIFF that the band touches), and traces it: the edges of the 8-connected
groups of candidates that lie in the band alone, and the candidates of the
groups that reach its first or last row, which may go on into the next band.
Those are linked together once every band is done, and the edges of both put
in the order of their groups. The result is the list `lintrace --stream`
writes, byte for byte, whatever the bands and workers:

    from distributed import Client, LocalCluster
    import lintrace.dask
    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        lintrace.dask.trace_tiled("mosaic.tif", client, tile=4096, output="mosaic.list")

A running scheduler serves as well: Client("tcp://head:8786"). The workers
need the lintrace module and the image at the same path.
"""
import bisect
import operator

import numpy as np

from . import _files
from ._lintrace import _image_size, _link_crossing, _trace_band

__all__ = ["trace_tiled"]


def _edge_ends(text):
    """The byte after each edge's block in a connectivity list: after each
    line "-1 -1" (no point line starts with a minus sign)."""
    data = np.frombuffer(text, dtype=np.uint8)
    newlines = np.flatnonzero(data == 10)
    starts = np.concatenate(([0], newlines[:-1] + 1)) if len(newlines) else newlines
    return newlines[data[starts] == ord("-")] + 1


def _batches(edges):
    """Batches of Edges as one list text, the group keys of its edges and
    where each edge's block ends in the text."""
    texts = [e.to_list() for e in edges]
    text = b"".join(texts)
    keys = np.concatenate([e.group_keys for e in edges]) if edges else np.zeros((0, 2), np.int64)
    return text, keys, _edge_ends(text)


def _band(path, first_row, end_row, settings):
    edges, crossing = _trace_band(path, first_row, end_row, **settings)
    text, keys, ends = _batches(edges)
    return (text, keys, ends), crossing


def _link(crossing, width, height, settings):
    return _batches(_link_crossing(crossing, width, height, **settings))


def _ordinals(keys, width, height):
    """Group keys as single numbers of the same order."""
    if height * width * height < 2 ** 62:
        return (keys[:, 0] * (width * height) + keys[:, 1]).tolist()
    return [(int(b), int(f)) for b, f in keys]


def trace_tiled(path, client, tile=4096, output=None, *, sigma=0.4, low=1.4, high=2.0, subpixel=False,
                refine=False, threads=1, page=0):
    """Traces the image file at `path` on the workers of `client` (a
    distributed.Client), in bands of `tile` rows, and returns the number of
    edges with the connectivity list written to `output` (replaced only once
    complete), or, without output, the list's bytes.

    sigma, low, high, subpixel, refine: as for lintrace.trace(); threads:
    each worker's threads per band; page: as for lintrace.read().
    Raises what the workers raise (OSError, ValueError) and ValueError for a
    tile of fewer than 1 row."""
    if not isinstance(tile, (int, np.integer)) or tile < 1:
        raise ValueError("tile must be a whole number of rows from 1 up, not %r" % (tile,))
    width, height = _image_size(path, page)
    settings = dict(sigma=sigma, low=low, high=high, subpixel=subpixel, threads=threads, refine=refine, page=page)
    link_settings = {k: v for k, v in settings.items() if k != "page"}
    bands = [(y, min(y + tile, height)) for y in range(0, height, tile)]
    traced = [client.submit(_band, path, a, b, settings, pure=False) for a, b in bands]
    own = [client.submit(operator.getitem, t, 0, pure=False) for t in traced]
    crossing = [client.submit(operator.getitem, t, 1, pure=False) for t in traced]
    seams = client.submit(_link, crossing, width, height, link_settings, pure=False)
    seam_text, seam_keys, seam_ends = seams.result()
    del crossing, seams, traced
    seam_order = _ordinals(seam_keys, width, height)
    count = [0]

    def write_all(write):
        # The bands' groups come in order band after band (each lies in its
        # band's rows); the crossing groups go in among them by their keys.
        s = 0
        seam_start = 0
        for future in own:
            text, keys, ends = future.result()
            order = _ordinals(keys, width, height)
            start = 0
            while len(keys) and s < len(seam_ends) and seam_order[s] < order[-1]:
                place = bisect.bisect_left(order, seam_order[s])
                end = int(ends[place - 1]) if place > 0 else 0
                write(text[start:end])
                start = end
                write(seam_text[seam_start:int(seam_ends[s])])
                seam_start = int(seam_ends[s])
                s += 1
            write(text[start:])
            count[0] += len(keys)
        write(seam_text[seam_start:])
        count[0] += len(seam_ends)

    if output is None:
        pieces = []
        write_all(pieces.append)
        return b"".join(pieces)
    _files.replace(output, write_all)
    return count[0]
