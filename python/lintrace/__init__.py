"""lintrace: an exact Canny-style edge detector and linker, on numpy arrays.

The detector of the lintrace program: Gaussian-derivative gradients,
non-maximum suppression with sub-pixel placement, hysteresis from strong
points through weak ones, and junctions that end chains. An 8-bit grey
array gives byte for byte the connectivity list the program writes for the
same image and settings.

    import lintrace
    image = lintrace.read("photo.png")          # or any numpy array
    edges = lintrace.trace(image, sigma=1.0)
    len(edges)                                  # the number of edges
    edges.points, edges.offsets                 # edge k: points[offsets[k]:offsets[k + 1]]
    for edge in edges: ...                      # (k, 2) arrays of x, y
    drawing = lintrace.paint(edges)             # as linpaint draws them
    edges.write_list("image.list")              # as lintrace writes it (or edges.to_list())
    edges = lintrace.read_list("image.list")

Failures are exceptions (TypeError, ValueError, MemoryError, OSError); the
interpreter's lock is released while the detector runs.
"""
from ._lintrace import Edges, __version__, available_processors, mask_size, paint, read, read_list, trace

__all__ = ["Edges", "available_processors", "mask_size", "paint", "read", "read_list", "trace"]


def _edges_one_by_one(edges):
    """Iterates over the edges, each a read-only (n, 2) array of x, y: views
    of edges.points made one at a time."""
    points, offsets = edges.points, edges.offsets.tolist()
    for k in range(len(offsets) - 1):
        yield points[offsets[k]:offsets[k + 1]]


Edges.__iter__ = _edges_one_by_one
