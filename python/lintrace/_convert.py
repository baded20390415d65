"""Edges handed to the libraries of other ecosystems, each in the layout its
own functions take. Each converter imports its library only when it is
called (OpenCV, scikit-image and napari take plain numpy arrays, so theirs
import nothing); lintrace itself needs only numpy.

The positions of lintrace are pixels: x the column, y the row growing
downwards, pixel centres at whole numbers. OpenCV and shapely take (x, y)
as they are; scikit-image and napari index arrays, so they get (row,
column), which is (y, x).
"""
import numpy as np


def _edges(edges):
    """The edges as a list of read-only (n, 2) views of x, y."""
    offsets = edges.offsets
    return np.split(edges.points, offsets[1:-1]) if len(offsets) > 1 else []


def _closed(edges):
    """Per edge, whether it is closed: False for every edge where it is not
    known (edges read from a list)."""
    closed = edges.closed
    return [False] * len(edges) if closed is None else closed.tolist()


def to_opencv(self):
    """The edges as OpenCV contours: a list with one (n, 1, 2) array of x, y
    per edge, int32 for pixel positions, float32 for sub-pixel ones (the
    layouts cv2.findContours gives and cv2.drawContours, cv2.polylines,
    cv2.fitEllipse, cv2.arcLength and cv2.approxPolyDP take).

    A contour of OpenCV is a closed curve: cv2.drawContours joins every
    edge's last point to its first. To draw open edges open, use
    cv2.polylines(image, [c.astype(np.int32)], False, colour) for the edges
    whose edges.closed is False. The closing point is not repeated.
    """
    dtype = np.float32 if self.subpixel else np.int32
    return [edge.astype(dtype).reshape(-1, 1, 2) for edge in _edges(self)]


def to_skimage(self):
    """The edges as scikit-image contours: a list with one (n, 2) float64
    array of (row, column) per edge, the layout skimage.measure.find_contours
    gives and skimage.measure.approximate_polygon, subdivide_polygon and
    skimage.draw.polygon_perimeter take. As in find_contours, a closed edge
    repeats its first point at its end.
    """
    contours = []
    for edge, closed in zip(_edges(self), _closed(self)):
        contour = edge[:, ::-1].copy()
        if closed and len(contour) > 1:
            contour = np.vstack([contour, contour[:1]])
        contours.append(contour)
    return contours


def to_shapely(self):
    """The edges as shapely geometries, in pixel coordinates (x the column, y
    the row): a list with a LinearRing for each closed edge of three points
    or more (is_ring is True), a Point for each one-point edge and a
    LineString for every other edge. For polygons, shapely.geometry.Polygon(
    ring); for one collection, shapely.geometry.MultiLineString or
    GeometryCollection of the list. Needs shapely.
    """
    from shapely.geometry import LinearRing, LineString, Point

    shapes = []
    for edge, closed in zip(_edges(self), _closed(self)):
        if len(edge) == 1:
            shapes.append(Point(edge[0]))
        elif closed and len(edge) >= 3:
            shapes.append(LinearRing(edge))
        else:
            shapes.append(LineString(edge))
    return shapes


def _length(edge, closed):
    """The length along the points in their order, a closed edge's going
    round back to its first point: summed one segment after another, as the
    GeoJSON writer sums it."""
    steps = np.hypot(np.diff(edge[:, 0]), np.diff(edge[:, 1]))
    length = float(np.cumsum(steps)[-1]) if len(steps) else 0.0
    if closed and len(edge) > 1:
        length += float(np.hypot(edge[0, 0] - edge[-1, 0], edge[0, 1] - edge[-1, 1]))
    return length


def to_geopandas(self, crs=None):
    """The edges as a geopandas GeoDataFrame, one row per edge in the order of
    the list, with the facts the GeoJSON output gives each edge as columns:

      index               the edge's number
      points              its number of points
      closed, starts_at_junction, ends_at_junction
                          booleans (missing for edges read from a list)
      length              along its points, round to the first for a closed edge
      mean_magnitude      of the gradient at its points (traced with
                          gradient=True only)
      geometry            as to_shapely() gives it

    The coordinates are pixels (x the column, y the row growing downwards):
    no coordinate system is claimed unless crs= names one (anything
    GeoDataFrame's crs= takes), which is then only a label, not a
    transformation. Needs geopandas.
    """
    import geopandas
    import pandas

    edges = _edges(self)
    closed = _closed(self)

    def flags(values):
        if values is None:
            return pandas.array([None] * len(edges), dtype="boolean")
        return pandas.array(values, dtype="boolean")

    columns = {
        "index": np.arange(len(edges), dtype=np.int64),
        "points": np.diff(self.offsets),
        "closed": flags(self.closed),
        "starts_at_junction": flags(self.starts_at_junction),
        "ends_at_junction": flags(self.ends_at_junction),
        "length": np.array([_length(e, c) for e, c in zip(edges, closed)], dtype=np.float64),
    }
    magnitudes = self.magnitudes
    if magnitudes is not None:
        columns["mean_magnitude"] = np.array(
            [float(np.cumsum(m)[-1]) / len(m) if len(m) else np.nan
             for m in np.split(magnitudes, self.offsets[1:-1])] if len(self) else [],
            dtype=np.float64)
    return geopandas.GeoDataFrame(columns, geometry=to_shapely(self), crs=crs)


def to_napari(self):
    """The edges as napari shapes: a tuple (data, shape_type) for

        data, shape_type = edges.to_napari()
        viewer.add_shapes(data, shape_type=shape_type)

    data is a list with one (n, 2) float64 array of (row, column) per edge,
    the layout of napari's shapes layers; shape_type gives 'polygon' for a
    closed edge of three points or more (napari closes it: the first point is
    not repeated) and 'path' for every other edge. A path needs two vertices,
    so a one-point edge is a path whose two vertices are that point.
    """
    data, types = [], []
    for edge, closed in zip(_edges(self), _closed(self)):
        vertices = edge[:, ::-1].copy()
        if len(vertices) == 1:
            vertices = np.vstack([vertices, vertices])
        data.append(vertices)
        types.append("polygon" if closed and len(edge) >= 3 else "path")
    return data, types
