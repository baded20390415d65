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
    edges.write("image.list")                   # as lintrace writes it (.svg .geojson .csv by ending)
    edges = lintrace.read_list("image.list")
    low, high = lintrace.auto_thresholds(image, 0.7, sigma=1.0)   # as lintrace --auto

Floating-point images are grey levels from 0 to 1, as in scikit-image,
unless maxval= says otherwise. The edges convert to the layouts of other
libraries: edges.to_opencv(), to_skimage(), to_shapely(), to_geopandas(),
to_napari() (each imports its library only when called).

Failures are exceptions (TypeError, ValueError, MemoryError, OSError); the
interpreter's lock is released while the detector runs.
"""
from . import _convert, _files
from ._lintrace import (Edges, __version__, _restore_edges, _trace_stream, auto_thresholds, available_processors,
                        mask_size, georeferencing, paint, read, read_list, trace)

__all__ = ["Edges", "auto_thresholds", "available_processors", "georeferencing", "mask_size", "paint", "read", "read_list",
           "trace", "trace_stream"]


def trace_stream(path, output=None, on_edges=None, *, sigma=0.4, low=1.4, high=2.0, subpixel=False, threads=None,
                 refine=False, page=0, max_pixels=None):
    """trace_stream(path: os.PathLike, output: os.PathLike = None, on_edges: Callable[[Edges], None] = None, *, sigma: float = 0.4, low: float = 1.4, high: float = 2.0, subpixel: bool = False, threads: int = None, refine: bool = False, page: int = 0, max_pixels: int = None) -> int

    Traces an image file a band of rows at a time, as `lintrace --stream`
    does, for images larger than memory: only the rows a band needs and the
    candidates of the groups still open are held.

    The edges are those of trace(), each with the same points in the same
    order; they come in the order of their 8-connected groups of
    candidates (the row of a group's lowest candidate, then the raster place
    of its first), in batches of Edges whose group_keys say each edge's group.

    output: a path: the connectivity list is written there (replacing the
      file only once complete), byte for byte as `lintrace --stream` writes it.
    on_edges: called with each batch of Edges as it is ready.
    Returns the number of edges. sigma, low, high, subpixel, threads, refine:
    as for trace(); page, max_pixels: as for read()."""
    count = [0]

    def run(write):
        def batch(edges):
            count[0] += len(edges)
            if write is not None:
                write(edges.to_list())
            if on_edges is not None:
                on_edges(edges)
        _trace_stream(path, batch, sigma=sigma, low=low, high=high, subpixel=subpixel, threads=threads,
                      refine=refine, page=page, max_pixels=max_pixels)

    if output is None:
        run(None)
    else:
        _files.replace(output, run)
    return count[0]


def _edges_from_state(state):
    """Edges from their pickled state: what pickles of every protocol call."""
    return _restore_edges(state)


def _edges_one_by_one(edges):
    """Iterates over the edges, each a read-only (n, 2) array of x, y: views
    of edges.points made one at a time."""
    points, offsets = edges.points, edges.offsets.tolist()
    for k in range(len(offsets) - 1):
        yield points[offsets[k]:offsets[k + 1]]


Edges.__iter__ = _edges_one_by_one
Edges.to_opencv = _convert.to_opencv
Edges.to_skimage = _convert.to_skimage
Edges.to_shapely = _convert.to_shapely
Edges.to_geopandas = _convert.to_geopandas
Edges.to_napari = _convert.to_napari
