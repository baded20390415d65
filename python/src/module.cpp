// The compiled part of the Python module lintrace: the detector on numpy
// arrays.
//
// trace() turns an array into the library's ImageView, a pointer per row, so
// a row stride of any size or sign is taken as it is; the samples within a row
// are copied first only where they do not lie side by side. The detector runs
// with the interpreter's lock released. The edges' points, offsets and flags
// are numpy views of the library's own arrays, read-only, kept alive by the
// Edges object they come from. Connectivity lists are read and painted in
// edge_lists.cpp.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "decode.h"
#include "edge_lists.h"
#include "lintrace/lintrace.h"
#include "read_image.h"

namespace py = pybind11;

namespace {

// Edges as Python sees them: the library's edges, and the flags of edges that
// came back from a pickle (the library keeps flags only for edges it traced).
struct PyEdges {
    lintrace::Edges edges;
    bool traced = false;       // made by trace(): the library holds the flags
    bool shape_known = false;  // traced here, or traced and pickled
    int64_t rows = 0;
    int64_t columns = 0;
    bool has_restored_flags = false;
    std::vector<uint8_t> closed, starts_at_junction, ends_at_junction;  // restored from a pickle
};

static_assert(sizeof(lintrace::Point) == 2 * sizeof(double), "points are (N, 2) arrays of doubles");

// A read-only array over memory that `owner` keeps alive.
py::array read_only_view(py::dtype type, std::vector<py::ssize_t> shape, std::vector<py::ssize_t> strides,
                         const void* data, py::handle owner)
{
    py::array view(std::move(type), std::move(shape), std::move(strides), data, owner);
    py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return view;
}

py::array points_view(const lintrace::Point* first, size_t count, py::handle owner)
{
    return read_only_view(py::dtype::of<double>(), {static_cast<py::ssize_t>(count), 2},
                          {static_cast<py::ssize_t>(sizeof(lintrace::Point)), sizeof(double)}, first, owner);
}

// The Python object of edges known to pybind11, to own views of their arrays.
py::object owner_of(const PyEdges& e)
{
    return py::cast(&e, py::return_value_policy::reference);
}

const std::vector<lintrace::Point>& points_of(const PyEdges& e)
{
    py::gil_scoped_release unlocked;  // the arrays are made on first use
    return e.edges.points();
}

const std::vector<int64_t>& offsets_of(const PyEdges& e)
{
    py::gil_scoped_release unlocked;
    return e.edges.offsets();
}

// One of the per-edge flags, or None where it is not known.
py::object flags_view(const PyEdges& e, const std::vector<uint8_t>& (lintrace::Edges::*traced_flags)() const,
                      std::vector<uint8_t> PyEdges::*restored_flags)
{
    const std::vector<uint8_t>* flags = nullptr;
    if (e.traced) {
        py::gil_scoped_release unlocked;
        flags = &(e.edges.*traced_flags)();
    } else if (e.has_restored_flags) {
        flags = &(e.*restored_flags);
    }
    if (flags == nullptr) return py::none();
    return read_only_view(py::dtype("bool"), {static_cast<py::ssize_t>(flags->size())}, {1}, flags->data(),
                          owner_of(e));
}

// The thresholds of the lintrace program are single-precision numbers: a
// threshold is rounded to the nearest float first (to infinity beyond the
// largest, as the program's reading of -lt 1e40 does) and widened back.
double as_single(double value)
{
    return static_cast<double>(nearest_float(value));
}

std::string shape_text(const py::array& a)
{
    std::string text = "(";
    for (py::ssize_t k = 0; k < a.ndim(); ++k) text += (k ? ", " : "") + std::to_string(a.shape(k));
    return text + (a.ndim() == 1 ? ",)" : ")");
}

// The array as samples the library takes: uint8, native uint16 or float64,
// packed within each row.
struct ImageArray {
    py::array array;
    lintrace::ImageView view;
    std::vector<const void*> rows;
};

ImageArray image_array(const py::object& image, std::optional<double> maxval)
{
    py::module_ numpy = py::module_::import("numpy");
    ImageArray in;
    in.array = numpy.attr("asarray")(image);
    py::dtype type = in.array.dtype();
    const char kind = type.kind();
    const py::ssize_t size = type.itemsize();
    lintrace::ImageView& view = in.view;
    if (kind == 'u' && size == 1) {
        view.type = lintrace::SampleType::UINT8;
        view.max_value = maxval.value_or(255);
    } else if (kind == 'u' && size == 2) {
        view.type = lintrace::SampleType::UINT16;
        view.max_value = maxval.value_or(65535);
        if (!type.is(py::dtype::of<uint16_t>())) in.array = in.array.attr("astype")(py::dtype::of<uint16_t>());
    } else if (kind == 'f') {
        if (maxval)
            throw py::value_error("maxval applies to integer samples; floating-point samples are grey levels "
                                  "on the 0..255 scale already");
        view.type = lintrace::SampleType::DOUBLE;
        if (!type.is(py::dtype::of<double>())) in.array = in.array.attr("astype")(py::dtype::of<double>());
    } else {
        throw py::type_error("image samples must be uint8, uint16 or floating point, not " +
                             py::str(type).cast<std::string>());
    }
    const py::array& a = in.array;
    if (a.ndim() == 2) {
        view.channels = 1;
    } else if (a.ndim() == 3 && a.shape(2) >= 1 && a.shape(2) <= 4) {
        view.channels = static_cast<int>(a.shape(2));
    } else if (a.ndim() == 3) {
        throw py::value_error("a 3-D image is (rows, columns, channels) with 1 to 4 channels (grey, grey and alpha, "
                              "RGB, RGBA), not " + shape_text(a));
    } else {
        throw py::value_error("an image is a 2-D array (rows, columns) or a 3-D array (rows, columns, channels), "
                              "not " + std::to_string(a.ndim()) + "-D " + shape_text(a));
    }
    // The samples of a row must lie side by side, channels interleaved.
    const py::ssize_t sample = in.array.itemsize();
    const bool packed = (a.shape(1) <= 1 || a.strides(1) == sample * view.channels) &&
                        (a.ndim() == 2 || view.channels == 1 || a.strides(2) == sample);
    if (!packed) in.array = numpy.attr("ascontiguousarray")(in.array);
    view.height = in.array.shape(0);
    view.width = in.array.shape(1);
    in.rows.resize(static_cast<size_t>(view.height));
    const auto* base = static_cast<const char*>(in.array.data());
    for (py::ssize_t r = 0; r < view.height; ++r) in.rows[r] = base + r * in.array.strides(0);
    view.row_pointers = in.rows.data();
    return in;
}

PyEdges trace(const py::object& image, double sigma, double low, double high, bool subpixel,
              std::optional<int> threads, std::optional<double> maxval, bool refine)
{
    ImageArray in = image_array(image, maxval);
    lintrace::Settings settings;
    settings.sigma = sigma;
    settings.low_threshold = as_single(low);
    settings.high_threshold = as_single(high);
    settings.sub_pixel = subpixel;
    settings.refine = refine;
    settings.threads = threads.value_or(0);
    PyEdges result;
    {
        py::gil_scoped_release unlocked;
        result.edges = lintrace::trace(in.view, settings);
    }
    result.traced = true;
    result.shape_known = true;
    result.rows = in.view.height;
    result.columns = in.view.width;
    return result;
}

std::string path_text(const py::object& path)
{
    py::object name = py::module_::import("os").attr("fsencode")(path);
    return name.cast<std::string>();
}

// Raises OSError for the errno value `error`, naming the file.
[[noreturn]] void raise_file_error(int error, const py::object& path)
{
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens the file, or raises OSError naming it.
File open_file(const std::string& name, const char* mode, const py::object& path)
{
    File file(std::fopen(name.c_str(), mode));
    if (!file) raise_file_error(errno, path);
    return file;
}

PyEdges read_list_file(const py::object& path)
{
    const std::string name = path_text(path);
    const File file = open_file(name, "r", path);
    ListArrays list;
    try {
        py::gil_scoped_release unlocked;
        list = read_list(file.get(), name);
    } catch (const std::system_error& failure) {
        raise_file_error(failure.code().value(), path);
    }
    PyEdges result;
    result.edges = lintrace::Edges::from_arrays(0, 0, list.sub_pixel, std::move(list.points), std::move(list.offsets));
    return result;
}

py::array read_image_file(const py::object& path)
{
    const std::string name = path_text(path);
    File file = open_file(name, "rb", path);
    ReadImage image;
    int error = 0;
    {
        py::gil_scoped_release unlocked;
        std::vector<char> bytes;
        char block[1 << 16];
        for (;;) {
            const size_t got = std::fread(block, 1, sizeof block, file.get());
            bytes.insert(bytes.end(), block, block + got);
            if (got < sizeof block) break;
        }
        if (std::ferror(file.get())) error = errno != 0 ? errno : EIO;
        file.reset();
        if (error == 0) image = read_image(bytes, name);
    }
    if (error != 0) raise_file_error(error, path);
    py::dtype type = image.type == lintrace::SampleType::UINT8    ? py::dtype::of<uint8_t>()
                     : image.type == lintrace::SampleType::UINT16 ? py::dtype::of<uint16_t>()
                                                                  : py::dtype::of<double>();
    std::vector<py::ssize_t> shape{image.height, image.width};
    if (image.channels > 1) shape.push_back(image.channels);
    py::array array(type, shape);
    std::memcpy(array.mutable_data(), image.samples.data(), image.samples.size());
    return array;
}

py::array_t<uint8_t> paint(const PyEdges& e, const std::optional<std::vector<int64_t>>& shape, int64_t min_length)
{
    int64_t rows = e.rows, columns = e.columns;
    if (shape) {
        if (shape->size() != 2 && shape->size() != 3)
            throw py::value_error("shape is (rows, columns), or an image's shape, not " +
                                  std::to_string(shape->size()) + " numbers");
        rows = (*shape)[0];
        columns = (*shape)[1];
    } else if (!e.shape_known) {
        throw py::value_error("edges read from a list do not know their image's size: give paint() a shape");
    }
    if (rows <= 0 || columns <= 0)
        throw py::value_error("shape must be positive numbers of rows and columns, not (" + std::to_string(rows) +
                              ", " + std::to_string(columns) + ")");
    py::array_t<uint8_t> canvas({rows, columns});
    uint8_t* pixels = canvas.mutable_data();
    {
        py::gil_scoped_release unlocked;
        std::memset(pixels, 0, static_cast<size_t>(rows) * static_cast<size_t>(columns));
        paint_edges(e.edges, min_length, pixels, rows, columns);
    }
    return canvas;
}

py::bytes to_list(const PyEdges& e)
{
    std::string text;
    {
        py::gil_scoped_release unlocked;
        text = e.edges.list_text();
    }
    return py::bytes(text);
}

// Writes the list straight to a file, piece by piece as the writer makes it,
// without the whole text in memory at once.
void write_list_file(const PyEdges& e, const py::object& path)
{
    const std::string name = path_text(path);
    File file = open_file(name, "wb", path);
    try {
        py::gil_scoped_release unlocked;
        // A failed write stops the writer.
        e.edges.write_list([&file](std::string_view piece) {
            if (std::fwrite(piece.data(), 1, piece.size(), file.get()) != piece.size())
                throw std::system_error(errno != 0 ? errno : EIO, std::generic_category());
        });
        if (std::fclose(file.release()) != 0) throw std::system_error(errno != 0 ? errno : EIO, std::generic_category());
    } catch (const std::system_error& failure) {
        raise_file_error(failure.code().value(), path);
    }
}

py::ssize_t edge_index(const PyEdges& e, py::ssize_t k)
{
    const auto count = static_cast<py::ssize_t>(e.edges.size());
    if (k < 0) k += count;
    if (k < 0 || k >= count) throw py::index_error("edge index out of range (" + std::to_string(count) + " edges)");
    return k;
}

// Pickled as arrays: the same positions, list and flags on the other side.
py::tuple edges_state(const PyEdges& e)
{
    py::object self = owner_of(e);
    const std::vector<lintrace::Point>& points = points_of(e);
    const std::vector<int64_t>& offsets = offsets_of(e);
    py::array point_copy = points_view(points.data(), points.size(), self).attr("copy")();
    py::array offset_copy = py::array_t<int64_t>(static_cast<py::ssize_t>(offsets.size()), offsets.data());
    auto flags = [&](const char* name) {
        py::object f = self.attr(name);
        return f.is_none() ? f : f.attr("copy")();
    };
    return py::make_tuple(1, e.shape_known, e.rows, e.columns, e.edges.sub_pixel(), point_copy, offset_copy,
                          flags("closed"), flags("starts_at_junction"), flags("ends_at_junction"));
}

PyEdges edges_from_state(const py::tuple& state)
{
    if (state.size() != 10 || state[0].cast<int>() != 1) throw py::value_error("not a pickled lintrace.Edges");
    PyEdges e;
    py::array_t<double, py::array::c_style | py::array::forcecast> points(state[5]);
    py::array_t<int64_t, py::array::c_style | py::array::forcecast> offsets(state[6]);
    if (points.ndim() != 2 || points.shape(1) != 2) throw py::value_error("not a pickled lintrace.Edges");
    std::vector<lintrace::Point> point_list(static_cast<size_t>(points.shape(0)));
    if (points.size() > 0) std::memcpy(point_list.data(), points.data(), point_list.size() * sizeof(lintrace::Point));
    std::vector<int64_t> offset_list(offsets.data(), offsets.data() + offsets.size());
    e.rows = state[2].cast<int64_t>();
    e.columns = state[3].cast<int64_t>();
    e.edges = lintrace::Edges::from_arrays(e.columns, e.rows, state[4].cast<bool>(), std::move(point_list),
                                           std::move(offset_list));
    e.shape_known = state[1].cast<bool>();
    if (!state[7].is_none()) {
        e.closed = state[7].cast<std::vector<uint8_t>>();
        e.starts_at_junction = state[8].cast<std::vector<uint8_t>>();
        e.ends_at_junction = state[9].cast<std::vector<uint8_t>>();
        const size_t count = e.edges.size();
        if (e.closed.size() != count || e.starts_at_junction.size() != count || e.ends_at_junction.size() != count)
            throw py::value_error("not a pickled lintrace.Edges");
        e.has_restored_flags = true;
    }
    return e;
}

}  // namespace

PYBIND11_MODULE(_lintrace, m)
{
    // Functions and the class are shown, and pickled, as members of the
    // package lintrace, which is where users find them.
    py::object own_name = m.attr("__name__");
    m.attr("__name__") = "lintrace";

    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const DecodeError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const std::system_error& e) {
            errno = e.code().value();
            PyErr_SetFromErrno(PyExc_OSError);
        }
    });

    m.attr("__version__") = lintrace::VERSION;

    py::class_<PyEdges>(m, "Edges", R"doc(The linked edges of one image, in the order of the connectivity list
(the edge traced last first).

Edge k is points[offsets[k]:offsets[k + 1]]: its start junction (if any),
its chain of edge points, its end junction (if any). The arrays are
read-only views that keep this object alive.

len(edges) is the number of edges; edges[k] and iteration give each edge
as a (k, 2) array of x, y. Edges pickle (for Dask and multiprocessing).)doc")
        .def_property_readonly(
            "points",
            [](const PyEdges& e) {
                const std::vector<lintrace::Point>& p = points_of(e);
                return points_view(p.data(), p.size(), owner_of(e));
            },
            "(N, 2) float64 array of x (column) and y (row) of every point, edge after edge: pixel\n"
            "positions (whole numbers), or sub-pixel ones when traced with subpixel=True.")
        .def_property_readonly(
            "offsets",
            [](const PyEdges& e) {
                const std::vector<int64_t>& o = offsets_of(e);
                return read_only_view(py::dtype::of<int64_t>(), {static_cast<py::ssize_t>(o.size())},
                                      {sizeof(int64_t)}, o.data(), owner_of(e));
            },
            "(M + 1,) int64 array: edge k is points[offsets[k]:offsets[k + 1]] (the ragged layout\n"
            "of shapely 2 and GeoArrow); offsets[0] is 0 and offsets[-1] the number of points.")
        .def_property_readonly(
            "closed",
            [](const PyEdges& e) { return flags_view(e, &lintrace::Edges::closed, &PyEdges::closed); },
            "(M,) bool array: the edge's walk came back to where it started (a ring). None for\n"
            "edges read from a list.")
        .def_property_readonly(
            "starts_at_junction",
            [](const PyEdges& e) {
                return flags_view(e, &lintrace::Edges::starts_at_junction, &PyEdges::starts_at_junction);
            },
            "(M,) bool array: the edge's first point is a junction. None for edges read from a list.")
        .def_property_readonly(
            "ends_at_junction",
            [](const PyEdges& e) {
                return flags_view(e, &lintrace::Edges::ends_at_junction, &PyEdges::ends_at_junction);
            },
            "(M,) bool array: the edge's last point is a junction. None for edges read from a list.")
        .def_property_readonly(
            "subpixel", [](const PyEdges& e) { return e.edges.sub_pixel(); },
            "True when the positions are sub-pixel ones (and the list is written with one decimal).")
        .def_property_readonly(
            "shape",
            [](const PyEdges& e) -> py::object {
                if (!e.shape_known) return py::none();
                return py::make_tuple(e.rows, e.columns);
            },
            "(rows, columns) of the image the edges were traced on; None for edges read from a list.")
        .def("__len__", [](const PyEdges& e) { return e.edges.size(); })
        .def(
            "__getitem__",
            [](const PyEdges& e, py::ssize_t k) {
                const std::vector<lintrace::Point>& p = points_of(e);
                const std::vector<int64_t>& o = offsets_of(e);
                k = edge_index(e, k);
                return points_view(p.data() + o[k], static_cast<size_t>(o[k + 1] - o[k]), owner_of(e));
            },
            py::arg("k"), "Edge k (counted from the end when negative) as a read-only (n, 2) array of x, y.")
        .def("to_list", &to_list, R"doc(The connectivity list of these edges, byte for byte as the lintrace
program writes it: each point on a line "x y" with two decimals (one for
sub-pixel positions), each edge closed by the line "-1 -1". For edges read
with read_list() from a list lintrace wrote, the bytes of that file.)doc")
        .def("write_list", &write_list_file, py::arg("path"), R"doc(Writes the connectivity list of these edges to a file (created, or
emptied first): the bytes of to_list(), written piece by piece as they
are made, with the interpreter's lock released.

path: a str, bytes or os.PathLike naming the file.
Raises OSError when the file cannot be written.)doc")
        .def("__repr__",
             [](const PyEdges& e) {
                 return "<lintrace.Edges: " + std::to_string(e.edges.size()) + " edges, " +
                        std::to_string(points_of(e).size()) + " points, " +
                        (e.edges.sub_pixel() ? "sub-pixel" : "pixel") + " positions>";
             })
        .def(py::pickle(&edges_state, &edges_from_state));

    m.def("trace", &trace, py::arg("image"), py::arg("sigma") = 0.4, py::arg("low") = 1.4, py::arg("high") = 2.0,
          py::arg("subpixel") = false, py::arg("threads") = py::none(), py::arg("maxval") = py::none(),
          py::arg("refine") = false, R"doc(Finds and links the edges of an image, as the lintrace program does.

image: a 2-D numpy array (rows, columns), or anything numpy.asarray makes
  one of, of
    uint8    grey levels 0..maxval (default 255)
    uint16   grey levels 0..maxval (default 65535), scaled to 0..255
    float    grey levels on the 0..255 scale (float32 and others are
             widened to float64)
  in any memory layout (strides, views, negative steps). A 3-D array
  (rows, columns, channels) is colour: 3 channels RGB, 4 RGBA, 2 grey and
  alpha, 1 grey; it is traced on its luma 0.299 R + 0.587 G + 0.114 B,
  with alpha laid over white, as the programs do. The samples are read
  where they lie (copied only when a row's samples are not side by side):
  the array must not change while trace() runs.
sigma: of the Gaussian, in pixels (positive and finite). Passed as given;
  the program's default is this same double 0.4, but its -s switch is read
  in single precision: to match `lintrace -s X` where X is not exact as a
  float, pass sigma=float(numpy.float32(X)).
low, high: the gradient magnitude a point needs to be a candidate, and to
  start a chain. Rounded to single precision first, as the program reads
  -lt and -ht, so low=1.4 matches `lintrace -lt 1.4`.
subpixel: sub-pixel positions, as -sp.
refine: with subpixel=True, each point moved nearer the true edge, as
  --refine: the same edges, points and order. ValueError without subpixel.
threads: how many threads the detector uses; None or 0: every processor
  the process may run on. The result is the same for any number.
maxval: the largest sample value of integer samples.

Returns Edges. An 8-bit grey array gives byte for byte the list lintrace
writes for the same image and settings (edges.to_list()). The
interpreter's lock is released while the detector runs, so threads of
Python can trace several images at once.

Raises TypeError for samples of another type, ValueError for another
shape or bad settings (saying why), MemoryError when memory runs out.)doc");

    m.def("read_list", &read_list_file, py::arg("path"), R"doc(Reads a connectivity list file into Edges.

path: a str, bytes or os.PathLike naming the file.

The file is read as linpaint reads it: numbers two at a time, whatever the
white space between them; the pair -1 -1 closes an edge; an edge left open
at the end is dropped. The positions keep the numbers as written (nearest
float64). The edges carry no image shape and no flags; they are sub-pixel
when the first number has one decimal, as in the lists of lintrace -sp, so
that to_list() gives back the bytes of any list lintrace wrote.

Raises OSError when the file cannot be read, ValueError when a token is
not a number.)doc");

    m.def("read", &read_image_file, py::arg("path"), R"doc(Reads an image file as the lintrace program reads it: netpbm (PBM, PGM,
PPM, PAM), PNG, JPEG (turned upright by its EXIF orientation) or TIFF,
whatever its name says, through the program's own decoders.

path: a str, bytes or os.PathLike naming the file.

Returns a numpy array of shape (rows, columns) for grey, (rows, columns,
channels) for grey and alpha (2), RGB (3) or RGBA (4): uint8 or uint16
where the samples use the whole range (largest value 255 or 65535), else
float64 grey levels on 0..255 (v * 255 / maxval: a PBM, a PGM of maxval
4095, a floating-point TIFF). trace(read(path)) gives what `lintrace -i
path` gives.

Raises OSError when the file cannot be read, ValueError when it is not an
image of these formats, is damaged or is too large for memory (the
message says which).)doc");

    m.def("paint", &paint, py::arg("edges"), py::arg("shape") = py::none(), py::arg("min_length") = 5,
          R"doc(Draws edges as the linpaint program draws their list: a uint8 array of
shape (rows, columns), 0 everywhere but 255 under the points of every edge
of at least min_length points (junction points count).

The raster is byte for byte the one `linpaint -r rows -c columns -l
min_length` makes of edges.to_list(): each position is taken as the list
writes it, read in single precision, and its pixel found by truncation
toward zero; points outside the image are skipped.

shape: (rows, columns), or an image's shape (rows, columns, channels);
  by default the shape of the image the edges were traced on.

Raises ValueError for a shape that is not positive numbers of rows and
columns, MemoryError when the image does not fit in memory.)doc");

    m.def("mask_size", &lintrace::mask_size, py::arg("sigma"),
          "The size of the convolution mask a sigma gives: 4 sigma + 0.5 truncated, at least 3, made odd.\n"
          "Raises ValueError when sigma is not positive and finite or the mask is too large.");
    m.def("available_processors", &lintrace::available_processors,
          "Every processor this process may run on (taskset and container limits respected): the\n"
          "number of threads trace() uses by default.");

    m.attr("__name__") = own_name;
}
