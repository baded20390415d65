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

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "lintrace/formats.h"
#include "lintrace/image.h"
#include "edge_lists.h"
#include "lintrace/lintrace.h"
#include "lintrace/stream.h"
#include "read_image.h"

namespace py = pybind11;

namespace {

// Edges as Python sees them: the library's edges, the settings they were
// traced with (recorded by the GeoJSON writer), and what came back from a
// pickle that the library keeps only for edges it traced (the flags and the
// gradient at the points).
struct PyEdges {
    lintrace::Edges edges;
    bool traced = false;       // made by trace(): the library holds the flags
    bool shape_known = false;  // traced here, or traced and pickled
    int64_t rows = 0;
    int64_t columns = 0;
    lintrace::Settings settings = unknown_settings();
    bool has_restored_flags = false;
    std::vector<uint8_t> closed, starts_at_junction, ends_at_junction;  // restored from a pickle
    bool has_restored_gradient = false;
    std::vector<double> magnitudes, directions;  // restored from a pickle

    // Edges read from a list: their sigma and thresholds are not known (the
    // GeoJSON writer writes null for them).
    static lintrace::Settings unknown_settings()
    {
        lintrace::Settings unknown;
        unknown.sigma = unknown.low_threshold = unknown.high_threshold = std::nan("");
        return unknown;
    }
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

// A copy of per-edge flags, the library's or those restored; empty where
// neither is known.
std::vector<uint8_t> flags_of(const PyEdges& e, const std::vector<uint8_t>& (lintrace::Edges::*traced_flags)() const,
                              std::vector<uint8_t> PyEdges::*restored_flags)
{
    if (e.traced) return (e.edges.*traced_flags)();
    if (e.has_restored_flags) return e.*restored_flags;
    return {};
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

// The array as samples the library takes: uint8 or native uint16 where they
// lie (packed within each row), floating-point samples as grey levels on the
// library's 0..255 scale in a packed copy.
struct ImageArray {
    py::array array;
    lintrace::ImageView view;
    std::vector<const void*> rows;
    std::vector<double> levels;  // floating-point samples made grey levels
};

// A number as printf's %g writes it (1e+300, 0.5, nan), for messages.
std::string number_text(double value, const char* format = "%g")
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Where a sample lies, as a message names it.
std::string position_text(py::ssize_t row, py::ssize_t column, py::ssize_t channel, bool colour)
{
    std::string text = "row " + std::to_string(row) + ", column " + std::to_string(column);
    if (colour) text += ", channel " + std::to_string(channel);
    return text;
}

// Floating-point samples follow scikit-image's convention: 0 is black and
// maxval (by default 1) white, so a sample v is the grey level v * 255 /
// maxval, computed in double as the library scales integer samples. A level
// within a few roundings (of the samples' own precision) of a whole grey
// level is that level: skimage.img_as_float makes a uint8 sample a as
// a * (1 / 255) rounded, which the scaling back misses by an ulp or two, and
// that ulp is enough to move an edge where two magnitudes tie. With the
// snap, img_as_float and img_as_float32 of 8-bit and 16-bit images trace as
// their sources do; a level that is not near a whole number is never moved
// (the levels of any maxval up to 65535 are at least 1/65535 from one).
// With maxval=255 the samples are the grey levels themselves, copied bit for
// bit.
// The detector's arithmetic is defined on finite levels only, and a sample
// above 1 with no maxval given is an image on another scale (most often
// 0..255, the convention of OpenCV and of this module before): both are
// refused, naming the first such sample, rather than traced into nothing.
void float_levels(ImageArray* in, std::optional<double> maxval, double epsilon)
{
    const py::array& a = in->array;
    const bool single = a.dtype().is(py::dtype::of<float>());
    const py::ssize_t rows = a.shape(0), columns = a.shape(1);
    const int channels = in->view.channels;
    const py::ssize_t row_step = a.strides(0), column_step = a.strides(1);
    const py::ssize_t channel_step = a.ndim() == 3 ? a.strides(2) : 0;
    size_t count = 0;
    if (__builtin_mul_overflow(static_cast<size_t>(rows), static_cast<size_t>(columns), &count) ||
        __builtin_mul_overflow(count, static_cast<size_t>(channels), &count) ||
        count > in->levels.max_size())
        throw std::bad_alloc();
    in->levels.resize(count);
    const double scale = maxval.value_or(1.0);
    const bool as_they_are = scale == 255;
    const bool unit_scale = !maxval;
    const auto* base = static_cast<const char*>(a.data());
    double* out = in->levels.data();
    // The first sample refused, in raster order.
    bool refused = false;
    py::ssize_t at_row = 0, at_column = 0, at_channel = 0;
    double refused_value = 0;
    {
        py::gil_scoped_release unlocked;
        for (py::ssize_t r = 0; r < rows && !refused; ++r)
            for (py::ssize_t c = 0; c < columns && !refused; ++c)
                for (int k = 0; k < channels; ++k) {
                    const char* sample = base + r * row_step + c * column_step + k * channel_step;
                    double v;
                    if (single) {
                        float f;
                        std::memcpy(&f, sample, sizeof f);
                        v = f;
                    } else {
                        std::memcpy(&v, sample, sizeof v);
                    }
                    if (!std::isfinite(v) || (unit_scale && v > 1)) {
                        refused = true;
                        at_row = r, at_column = c, at_channel = k;
                        refused_value = v;
                        break;
                    }
                    if (as_they_are) {
                        *out++ = v;
                        continue;
                    }
                    const double level = v * 255.0 / scale;
                    const double whole = std::nearbyint(level);
                    *out++ = std::fabs(level - whole) <= 4 * epsilon * std::max(std::fabs(whole), 1.0) ? whole : level;
                }
    }
    if (refused && !std::isfinite(refused_value))
        throw py::value_error("image sample at " + position_text(at_row, at_column, at_channel, channels > 1) +
                              " is not a finite number (" + number_text(refused_value) + ")");
    if (refused)
        throw py::value_error("floating-point samples are grey levels from 0 (black) to 1 (white), as in "
                              "scikit-image, unless maxval gives the largest value; the sample at " +
                              position_text(at_row, at_column, at_channel, channels > 1) + " is " +
                              number_text(refused_value, "%.9g") +
                              ": pass maxval=255 for grey levels on the 0..255 scale");
    lintrace::ImageView& view = in->view;
    view.type = lintrace::SampleType::DOUBLE;
    view.width = columns;
    view.height = rows;
    view.samples = in->levels.data();
    view.row_stride = 0;
}

ImageArray image_array(const py::object& image, std::optional<double> maxval)
{
    py::module_ numpy = py::module_::import("numpy");
    ImageArray in;
    in.array = numpy.attr("asarray")(image);
    py::dtype type = in.array.dtype();
    const char kind = type.kind();
    const py::ssize_t size = type.itemsize();
    lintrace::ImageView& view = in.view;
    double epsilon = 0;  // of floating-point samples
    if (kind == 'u' && size == 1) {
        view.type = lintrace::SampleType::UINT8;
        view.max_value = maxval.value_or(255);
    } else if (kind == 'u' && size == 2) {
        view.type = lintrace::SampleType::UINT16;
        view.max_value = maxval.value_or(65535);
        if (!type.is(py::dtype::of<uint16_t>())) in.array = in.array.attr("astype")(py::dtype::of<uint16_t>());
    } else if (kind == 'f') {
        if (maxval && !(*maxval > 0 && std::isfinite(*maxval)))
            throw py::value_error("maxval must be a positive finite number, not " + number_text(*maxval));
        view.type = lintrace::SampleType::DOUBLE;
        epsilon = numpy.attr("finfo")(type).attr("eps").cast<double>();
        // float32 and float64 are read where they lie; other widths and byte
        // orders are made native doubles first.
        if (!type.is(py::dtype::of<double>()) && !type.is(py::dtype::of<float>()))
            in.array = in.array.attr("astype")(py::dtype::of<double>());
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
    if (view.type == lintrace::SampleType::DOUBLE) {
        float_levels(&in, maxval, epsilon);
        return in;
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

lintrace::Settings settings_of(double sigma, double low, double high, bool subpixel, std::optional<int> threads,
                               bool gradient, bool refine = false)
{
    lintrace::Settings settings;
    settings.sigma = sigma;
    settings.low_threshold = as_single(low);
    settings.high_threshold = as_single(high);
    settings.sub_pixel = subpixel;
    settings.refine = refine;
    settings.threads = threads.value_or(0);
    settings.gradient = gradient;
    return settings;
}

PyEdges trace(const py::object& image, double sigma, double low, double high, bool subpixel,
              std::optional<int> threads, std::optional<double> maxval, bool gradient, bool refine)
{
    ImageArray in = image_array(image, maxval);
    PyEdges result;
    result.settings = settings_of(sigma, low, high, subpixel, threads, gradient, refine);
    {
        py::gil_scoped_release unlocked;
        result.edges = lintrace::trace(in.view, result.settings);
    }
    result.traced = true;
    result.shape_known = true;
    result.rows = in.view.height;
    result.columns = in.view.width;
    return result;
}

// The thresholds the lintrace program's --auto chooses, as the
// single-precision numbers its -lt and -ht hold
// (lintrace::single_precision_thresholds). Passed to trace(), they replay
// `lintrace --auto` exactly.
py::tuple auto_thresholds(const py::object& image, double fraction, double sigma, std::optional<int> threads,
                          std::optional<double> maxval)
{
    if (!(fraction > 0 && fraction <= 1))
        throw py::value_error("fraction must be a number above 0 and at most 1, not " + number_text(fraction));
    ImageArray in = image_array(image, maxval);
    const lintrace::Settings settings = settings_of(sigma, 1.4, 2.0, false, threads, false);
    lintrace::Thresholds chosen{};
    {
        py::gil_scoped_release unlocked;
        chosen = lintrace::automatic_thresholds(in.view, settings, fraction);
    }
    float low = 0, high = 0;
    if (!lintrace::single_precision_thresholds(chosen.high, &low, &high))
        throw py::value_error("the chosen high threshold " + number_text(chosen.high) +
                              " is beyond single precision");
    return py::make_tuple(static_cast<double>(low), static_cast<double>(high));
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

// The bytes of a file, read with the interpreter's lock let go.
std::vector<char> file_bytes(const std::string& name, const py::object& path)
{
    File file = open_file(name, "rb", path);
    std::vector<char> bytes;
    int error = 0;
    {
        py::gil_scoped_release unlocked;
        char block[1 << 16];
        for (;;) {
            const size_t got = std::fread(block, 1, sizeof block, file.get());
            bytes.insert(bytes.end(), block, block + got);
            if (got < sizeof block) break;
        }
        if (std::ferror(file.get())) error = errno != 0 ? errno : EIO;
        file.reset();
    }
    if (error != 0) raise_file_error(error, path);
    return bytes;
}

// What read() and georeferencing() take besides the path: the page (from
// 0, as ImageMetadata::page) and a pixel limit for untrusted files.
lintrace::ReadOptions read_options(int page, std::optional<int64_t> max_pixels)
{
    if (page < 0) throw py::value_error("page is counted from 0, not " + std::to_string(page));
    if (max_pixels && *max_pixels <= 0)
        throw py::value_error("max_pixels is a positive number of pixels, not " + std::to_string(*max_pixels));
    lintrace::ReadOptions options;
    options.page = page;
    options.max_pixels = max_pixels ? static_cast<uint64_t>(*max_pixels) : 0;
    return options;
}

py::array read_image_file(const py::object& path, int page, std::optional<int64_t> max_pixels)
{
    const lintrace::ReadOptions options = read_options(page, max_pixels);
    const std::string name = path_text(path);
    const std::vector<char> bytes = file_bytes(name, path);
    ReadImage image;
    {
        py::gil_scoped_release unlocked;
        image = read_image(bytes, name, options);
    }
    py::dtype type = image.type == lintrace::SampleType::UINT8    ? py::dtype::of<uint8_t>()
                     : image.type == lintrace::SampleType::UINT16 ? py::dtype::of<uint16_t>()
                                                                  : py::dtype::of<double>();
    std::vector<py::ssize_t> shape{image.height, image.width};
    if (image.channels > 1) shape.push_back(image.channels);
    py::array array(type, shape);
    std::memcpy(array.mutable_data(), image.samples.data(), image.samples.size());
    return array;
}

// Where an image file lies on a map (lintrace::georeferencing): a dict of
// its transform (GDAL's six numbers), EPSG code, coordinate system's name
// and where it was found, or None.
py::object georeferencing_of(const py::object& path, int page)
{
    const lintrace::ReadOptions options = read_options(page, std::nullopt);
    const std::string name = path_text(path);
    const std::vector<char> bytes = file_bytes(name, path);
    std::optional<lintrace::Georeferencing> geo;
    {
        py::gil_scoped_release unlocked;
        geo = lintrace::georeferencing(lintrace::read_image_bytes(bytes.data(), bytes.size(), name, options), name);
    }
    if (!geo) return py::none();
    const double* t = geo->transform;
    py::dict result;
    result["transform"] = py::make_tuple(t[0], t[1], t[2], t[3], t[4], t[5]);
    result["epsg"] = geo->epsg != 0 ? py::object(py::int_(geo->epsg)) : py::none();
    result["crs"] = geo->epsg != 0 ? py::object(py::str("EPSG:" + std::to_string(geo->epsg))) : py::none();
    result["source"] = geo->source;
    return result;
}

// A georeference as write() takes it: such a dict, or None.
std::optional<lintrace::Georeference> georeference_from(const py::object& given)
{
    if (given.is_none()) return std::nullopt;
    if (!py::isinstance<py::dict>(given))
        throw py::type_error("georeference is a dict as lintrace.georeferencing() gives, or None");
    const py::dict geo = given.cast<py::dict>();
    if (!geo.contains("transform")) throw py::value_error("georeference has no 'transform'");
    const std::vector<double> t = geo["transform"].cast<std::vector<double>>();
    if (t.size() != 6) throw py::value_error("a georeference's transform is six numbers, not " + std::to_string(t.size()));
    for (double v : t)
        if (!std::isfinite(v)) throw py::value_error("a georeference's transform holds a number that is not finite");
    lintrace::Georeference to;
    std::copy(t.begin(), t.end(), to.transform.begin());
    if (geo.contains("epsg") && !geo["epsg"].is_none()) {
        to.epsg = geo["epsg"].cast<int>();
        if (to.epsg <= 0) throw py::value_error("an EPSG code is positive, not " + std::to_string(to.epsg));
        to.crs = "EPSG:" + std::to_string(to.epsg);
    }
    return to;
}

// A batch of a streamed run's edges, for Python.
PyEdges batch_edges(lintrace::Edges&& batch, const lintrace::Settings& settings, int64_t rows, int64_t columns)
{
    PyEdges result;
    result.edges = std::move(batch);
    result.settings = settings;
    result.traced = true;
    result.shape_known = true;
    result.rows = rows;
    result.columns = columns;
    return result;
}

// The image at `path` read a band of rows at a time, each batch of edges
// handed to `on_edges` as it is ready (the interpreter's lock taken again for
// the call only).
void trace_stream_file(const py::object& path, const py::function& on_edges, double sigma, double low, double high,
                       bool subpixel, std::optional<int> threads, bool refine, int page,
                       std::optional<int64_t> max_pixels)
{
    const lintrace::ReadOptions options = read_options(page, max_pixels);
    const std::string name = path_text(path);
    const lintrace::Settings settings = settings_of(sigma, low, high, subpixel, threads, false, refine);
    py::gil_scoped_release unlocked;
    std::unique_ptr<lintrace::ImageRows> rows = lintrace::open_image_rows(name, options);
    const lintrace::ImageView shape = rows->shape();
    lintrace::trace_stream(*rows, settings, [&](lintrace::Edges&& batch) {
        py::gil_scoped_acquire locked;
        on_edges(batch_edges(std::move(batch), settings, shape.height, shape.width));
    });
}

// (columns, rows) of the image at `path`, from its header.
py::tuple image_size(const py::object& path, int page)
{
    const lintrace::ReadOptions options = read_options(page, std::nullopt);
    const std::string name = path_text(path);
    py::gil_scoped_release unlocked;
    const std::unique_ptr<lintrace::ImageRows> rows = lintrace::open_image_rows(name, options);
    const lintrace::ImageView shape = rows->shape();
    py::gil_scoped_acquire locked;
    return py::make_tuple(shape.width, shape.height);
}

py::dict candidates_dict(const lintrace::Candidates& c)
{
    py::dict out;
    out["x"] = py::array_t<int32_t>(static_cast<py::ssize_t>(c.x.size()), c.x.data());
    out["y"] = py::array_t<int32_t>(static_cast<py::ssize_t>(c.y.size()), c.y.data());
    out["strong"] = py::array_t<uint8_t>(static_cast<py::ssize_t>(c.strong.size()), c.strong.data());
    out["sub_x"] = py::array_t<double>(static_cast<py::ssize_t>(c.sub_x.size()), c.sub_x.data());
    out["sub_y"] = py::array_t<double>(static_cast<py::ssize_t>(c.sub_y.size()), c.sub_y.data());
    return out;
}

lintrace::Candidates candidates_of(const py::dict& d)
{
    lintrace::Candidates c;
    const auto take = [&d](const char* key, auto* out) {
        using T = typename std::remove_reference_t<decltype(*out)>::value_type;
        const py::array_t<T, py::array::c_style | py::array::forcecast> a(d[key]);
        if (a.ndim() != 1) throw py::value_error(std::string("crossing candidates: '") + key + "' must be 1-D");
        out->assign(a.data(), a.data() + a.size());
    };
    take("x", &c.x);
    take("y", &c.y);
    take("strong", &c.strong);
    take("sub_x", &c.sub_x);
    take("sub_y", &c.sub_y);
    return c;
}

// Rows first_row .. end_row - 1 of the image at `path`, read with their
// margin: the edges of the groups that lie in the band alone, as a list of
// Edges, and the candidates of the groups that cross its first or last row.
py::tuple trace_band_file(const py::object& path, int64_t first_row, int64_t end_row, double sigma, double low,
                          double high, bool subpixel, std::optional<int> threads, bool refine, int page)
{
    const lintrace::ReadOptions options = read_options(page, std::nullopt);
    const std::string name = path_text(path);
    const lintrace::Settings settings = settings_of(sigma, low, high, subpixel, threads, false, refine);
    std::vector<lintrace::Edges> batches;
    lintrace::Candidates crossing;
    int64_t width = 0, height = 0;
    {
        py::gil_scoped_release unlocked;
        {
            const std::unique_ptr<lintrace::ImageRows> rows = lintrace::open_image_rows(name, options);
            width = rows->shape().width;
            height = rows->shape().height;
        }
        if (!(0 <= first_row && first_row <= end_row && end_row <= height))
            throw std::invalid_argument("band rows " + std::to_string(first_row) + " .. " + std::to_string(end_row) +
                                        " do not lie in " + name + ", of " + std::to_string(height) + " rows");
        const int64_t margin = lintrace::band_margin(settings);
        const int64_t from = std::max<int64_t>(0, first_row - margin);
        const int64_t to = std::min<int64_t>(height, end_row + margin);
        const lintrace::Image window = lintrace::read_image_window(name, 0, from, width, to - from, options);
        crossing = lintrace::trace_band(window.view(), from, height, first_row, end_row, settings,
                                        [&batches](lintrace::Edges&& batch) { batches.push_back(std::move(batch)); });
    }
    py::list edges;
    for (lintrace::Edges& batch : batches) edges.append(batch_edges(std::move(batch), settings, height, width));
    return py::make_tuple(edges, candidates_dict(crossing));
}

py::list link_crossing_of(const py::list& bands, int64_t width, int64_t height, double sigma, double low, double high,
                          bool subpixel, std::optional<int> threads, bool refine)
{
    const lintrace::Settings settings = settings_of(sigma, low, high, subpixel, threads, false, refine);
    std::vector<lintrace::Candidates> all;
    for (const py::handle band : bands) all.push_back(candidates_of(py::reinterpret_borrow<py::dict>(band)));
    std::vector<const lintrace::Candidates*> pointers;
    for (const lintrace::Candidates& c : all) pointers.push_back(&c);
    std::vector<lintrace::Edges> batches;
    {
        py::gil_scoped_release unlocked;
        lintrace::link_crossing(pointers, width, height, settings,
                                [&batches](lintrace::Edges&& batch) { batches.push_back(std::move(batch)); });
    }
    py::list edges;
    for (lintrace::Edges& batch : batches) edges.append(batch_edges(std::move(batch), settings, height, width));
    return edges;
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

// The output formats by name, and the ending of a file's name that chooses
// each, as the lintrace program's --format and -o do.
// The format a name asks for (any case), else the one the file's ending
// chooses, else the connectivity list: the formats table of the program.
const lintrace::Format& format_of(const std::string& name, const std::optional<std::string>& format)
{
    if (format) {
        if (const lintrace::Format* named = lintrace::find_format(*format)) return *named;
        std::string names;
        const std::span<const lintrace::Format> all = lintrace::formats();
        for (size_t k = 0; k < all.size(); ++k)
            names += std::string(k == 0 ? "" : k + 1 == all.size() ? " or " : ", ") + std::string(all[k].name);
        throw py::value_error("format is " + names + ", not " + py::repr(py::str(*format)).cast<std::string>());
    }
    if (const lintrace::Format* chosen = lintrace::format_for_path(name)) return *chosen;
    return lintrace::formats()[0];
}

// What write() takes besides the format.
struct WriteRequest {
    std::optional<std::string> format;
    double simplify = 0;
    std::optional<int> precision;
    int64_t min_points = 0;
    bool polygons = false;
    std::optional<lintrace::Georeference> georeference;
};

// The one writer of every format: the edges handed to `sink` in pieces.
lintrace::WriteOptions options_of(const PyEdges& e, const WriteRequest& request)
{
    lintrace::WriteOptions options;
    options.settings = e.settings;
    options.precision = request.precision.value_or(-1);
    options.simplify = request.simplify;
    options.min_points = request.min_points;
    options.polygons = request.polygons;
    options.georeference = request.georeference;
    return options;
}

void write_format(const PyEdges& e, const lintrace::Format& format, const WriteRequest& request,
                  const std::function<void(std::string_view)>& sink)
{
    lintrace::write(e.edges, format, options_of(e, request), sink);
}

// Raised by a writer's sink once the Python function it calls has failed;
// the Python error stays set for the caller to raise.
struct PythonWriteFailed {};

// Writes the edges to a file the way the programs write their outputs
// (lintrace._files.replace: a temporary beside the target, put in its place
// only when complete). The detector's writer formats its pieces with the
// interpreter's lock let go and takes it back to hand each piece on.
void write_file(const PyEdges& e, const py::object& path, const WriteRequest& request)
{
    const lintrace::Format& chosen = format_of(path_text(path), request.format);
    lintrace::check_options(options_of(e, request));  // refused before the file is touched
    const py::object replace = py::module_::import("lintrace._files").attr("replace");
    const py::cpp_function write_all([&e, &chosen, &request](const py::object& write) {
        bool failed = false;
        try {
            py::gil_scoped_release unlocked;
            write_format(e, chosen, request, [&write](std::string_view piece) {
                py::gil_scoped_acquire locked;
                try {
                    write(py::bytes(piece.data(), piece.size()));
                } catch (py::error_already_set& error) {
                    error.restore();
                    throw PythonWriteFailed();
                }
            });
        } catch (const PythonWriteFailed&) {
            failed = true;
        }
        if (failed) throw py::error_already_set();
    });
    replace(path, write_all);
}

py::ssize_t edge_index(const PyEdges& e, py::ssize_t k)
{
    const auto count = static_cast<py::ssize_t>(e.edges.size());
    if (k < 0) k += count;
    if (k < 0 || k >= count) throw py::index_error("edge index out of range (" + std::to_string(count) + " edges)");
    return k;
}

// The gradient at the points (magnitudes or directions), or None where it
// was not kept.
py::object gradient_view(const PyEdges& e, const std::vector<double>& (lintrace::Edges::*traced)() const,
                         std::vector<double> PyEdges::*restored)
{
    const std::vector<double>* values = nullptr;
    if (e.traced && e.settings.gradient) {
        py::gil_scoped_release unlocked;
        values = &(e.edges.*traced)();
    } else if (e.has_restored_gradient) {
        values = &(e.*restored);
    }
    if (values == nullptr) return py::none();
    return read_only_view(py::dtype::of<double>(), {static_cast<py::ssize_t>(values->size())}, {sizeof(double)},
                          values->data(), owner_of(e));
}

// Pickled as arrays: the same positions, list, flags, gradient and settings
// on the other side. Version 1 (without gradient and settings) is still read.
constexpr int STATE_VERSION = 2;

py::tuple edges_state(const PyEdges& e)
{
    py::object self = owner_of(e);
    const std::vector<lintrace::Point>& points = points_of(e);
    const std::vector<int64_t>& offsets = offsets_of(e);
    py::array point_copy = points_view(points.data(), points.size(), self).attr("copy")();
    py::array offset_copy = py::array_t<int64_t>(static_cast<py::ssize_t>(offsets.size()), offsets.data());
    auto copy = [&](const char* name) {
        py::object f = self.attr(name);
        return f.is_none() ? f : f.attr("copy")();
    };
    const lintrace::Settings& s = e.settings;
    return py::make_tuple(STATE_VERSION, e.shape_known, e.rows, e.columns, e.edges.sub_pixel(), point_copy,
                          offset_copy, copy("closed"), copy("starts_at_junction"), copy("ends_at_junction"),
                          copy("magnitudes"), copy("directions"),
                          py::make_tuple(s.sigma, s.low_threshold, s.high_threshold, s.gradient));
}

PyEdges edges_from_state(const py::tuple& state)
{
    const auto version = state.size() == 10 ? 1 : state.size() == 13 ? 2 : 0;
    try {
        if (version == 0 || state[0].cast<int>() != version) throw py::value_error("not a pickled lintrace.Edges");
        PyEdges e;
        py::array_t<double, py::array::c_style | py::array::forcecast> points(state[5]);
        py::array_t<int64_t, py::array::c_style | py::array::forcecast> offsets(state[6]);
        if (points.ndim() != 2 || points.shape(1) != 2 || offsets.ndim() != 1)
            throw py::value_error("not a pickled lintrace.Edges");
        std::vector<lintrace::Point> point_list(static_cast<size_t>(points.shape(0)));
        if (points.size() > 0)
            std::memcpy(point_list.data(), points.data(), point_list.size() * sizeof(lintrace::Point));
        std::vector<int64_t> offset_list(offsets.data(), offsets.data() + offsets.size());
        e.rows = state[2].cast<int64_t>();
        e.columns = state[3].cast<int64_t>();
        e.edges = lintrace::Edges::from_arrays(e.columns, e.rows, state[4].cast<bool>(), std::move(point_list),
                                               std::move(offset_list));
        e.shape_known = state[1].cast<bool>();
        const size_t count = e.edges.size();
        if (!state[7].is_none()) {
            e.closed = state[7].cast<std::vector<uint8_t>>();
            e.starts_at_junction = state[8].cast<std::vector<uint8_t>>();
            e.ends_at_junction = state[9].cast<std::vector<uint8_t>>();
            if (e.closed.size() != count || e.starts_at_junction.size() != count || e.ends_at_junction.size() != count)
                throw py::value_error("not a pickled lintrace.Edges");
            e.has_restored_flags = true;
        }
        if (version >= 2) {
            const py::tuple settings = state[12].cast<py::tuple>();
            if (settings.size() != 4) throw py::value_error("not a pickled lintrace.Edges");
            e.settings.sigma = settings[0].cast<double>();
            e.settings.low_threshold = settings[1].cast<double>();
            e.settings.high_threshold = settings[2].cast<double>();
            e.settings.sub_pixel = e.edges.sub_pixel();
            e.settings.gradient = settings[3].cast<bool>();
            if (!state[10].is_none()) {
                e.magnitudes = state[10].cast<std::vector<double>>();
                e.directions = state[11].cast<std::vector<double>>();
                if (e.magnitudes.size() != e.edges.point_count() || e.directions.size() != e.edges.point_count())
                    throw py::value_error("not a pickled lintrace.Edges");
                e.has_restored_gradient = true;
            }
        }
        return e;
    } catch (const py::cast_error&) {
        throw py::value_error("not a pickled lintrace.Edges");
    }
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
        } catch (const lintrace::ImageNotFound& e) {
            PyErr_SetString(PyExc_FileNotFoundError, e.what());
        } catch (const lintrace::ImageError& e) {
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
as a (k, 2) array of x, y. Edges pickle with every protocol (for Dask and
multiprocessing). write() writes them in the program's formats; the to_*
methods give them to OpenCV, scikit-image, shapely, geopandas and napari.)doc")
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
            "magnitudes",
            [](const PyEdges& e) { return gradient_view(e, &lintrace::Edges::magnitudes, &PyEdges::magnitudes); },
            "(N,) float64 array, one value per point of points: the gradient magnitude the detector\n"
            "computed at the point's pixel. None unless traced with gradient=True.")
        .def_property_readonly(
            "directions",
            [](const PyEdges& e) { return gradient_view(e, &lintrace::Edges::directions, &PyEdges::directions); },
            "(N,) float64 array, one value per point: the gradient's direction atan2(dy, dx) in radians\n"
            "(y grows downwards, so a positive angle turns clockwise on the screen). None unless\n"
            "traced with gradient=True.")
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
        .def_property_readonly(
            "group_keys",
            [](const PyEdges& e) -> py::object {
                const std::vector<int64_t>& keys = e.edges.group_keys();
                if (keys.empty() && e.edges.size() > 0) return py::none();
                return py::array_t<int64_t>({static_cast<py::ssize_t>(keys.size() / 2), py::ssize_t{2}}, keys.data());
            },
            "For the edges of a streamed or banded run, an (n, 2) array: per edge, the row of its group's lowest "
            "candidate and the raster place (row * columns + column) of its first; their order is the edges' "
            "order. None for other edges.")
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
        .def(
            "write_list",
            [](const PyEdges& e, const py::object& path) {
                WriteRequest request;
                request.format = "list";
                write_file(e, path, request);
            },
            py::arg("path"), R"doc(Writes the connectivity list of these edges to a file: the bytes of
to_list(), as write(path, format="list") writes them.

path: a str, bytes or os.PathLike naming the file.
Raises OSError naming the file when it cannot be written.)doc")
        .def(
            "write",
            [](const PyEdges& e, const py::object& path, const std::optional<std::string>& format, double simplify,
               std::optional<int> precision, int64_t min_points, bool polygons, const py::object& georeference) {
                WriteRequest request;
                request.format = format;
                request.simplify = simplify;
                request.precision = precision;
                request.min_points = min_points;
                request.polygons = polygons;
                request.georeference = georeference_from(georeference);
                write_file(e, path, request);
            },
            py::arg("path"), py::arg("format") = py::none(), py::kw_only(), py::arg("simplify") = 0.0,
            py::arg("precision") = py::none(), py::arg("min_points") = 0, py::arg("polygons") = false,
            py::arg("georeference") = py::none(),
            R"doc(Writes the edges to a file in one of the lintrace program's formats:

  "list"     the connectivity list (to_list())
  "svg"      one polyline per edge, closed edges drawn closed
  "geojson"  a FeatureCollection of a LineString (a Point for a one-point
             edge) per edge with its facts (index, points, length, closed,
             junctions, mean gradient magnitude when traced with
             gradient=True), the settings recorded in the collection
  "csv"      edge,point,x,y,magnitude,direction: a row per point
  "dxf"      an ASCII DXF of one LWPOLYLINE per edge, y growing upwards

byte for byte as `lintrace -o path` writes them for the same image and
settings (the program keeps the gradient for GeoJSON and CSV: trace with
gradient=True for the same bytes). Coordinates are pixels: x the column, y
the row growing downwards, pixel centres at whole numbers.

path: a str, bytes or os.PathLike naming the file.
format: one of the names above, in any case; by default chosen by the
  ending of the path (.svg, .geojson, .csv, .dxf), else the list.
simplify, precision, min_points, polygons: the vector formats' options,
  as --simplify, --precision, --min-points and --polygons.
georeference: a dict as georeferencing(path) gives: GeoJSON, CSV and DXF
  are then in the map's coordinates (GeoJSON naming the EPSG system).

As the programs do, the edges are written to a temporary file beside the
target, which takes the target's name only once complete: a failed write
leaves the file that was there. Files are written one at a time, with the
interpreter's lock released.

Raises ValueError for an unknown format, OSError naming the file when it
cannot be written.)doc")
        .def(
            "simplify",
            [](const PyEdges& e, double tolerance) {
                PyEdges result;
                {
                    py::gil_scoped_release unlocked;
                    result.edges = lintrace::simplify(e.edges, tolerance);
                }
                result.shape_known = e.shape_known;
                result.rows = e.rows;
                result.columns = e.columns;
                result.settings = e.settings;
                result.settings.gradient = false;
                result.has_restored_flags = e.traced || e.has_restored_flags;
                if (result.has_restored_flags) {
                    result.closed = flags_of(e, &lintrace::Edges::closed, &PyEdges::closed);
                    result.starts_at_junction =
                        flags_of(e, &lintrace::Edges::starts_at_junction, &PyEdges::starts_at_junction);
                    result.ends_at_junction = flags_of(e, &lintrace::Edges::ends_at_junction, &PyEdges::ends_at_junction);
                }
                return result;
            },
            py::arg("tolerance"), R"doc(These edges simplified within `tolerance` pixels (Douglas-Peucker, as
--simplify): no point lies farther than the tolerance from its simplified
line, every edge keeps its first and last point (edges meeting at a
junction still meet there) and a closed edge stays a ring. 0 keeps every
point. Raises ValueError for a negative or not finite tolerance.)doc")
        .def("__repr__",
             [](const PyEdges& e) {
                 return "<lintrace.Edges: " + std::to_string(e.edges.size()) + " edges, " +
                        std::to_string(points_of(e).size()) + " points, " +
                        (e.edges.sub_pixel() ? "sub-pixel" : "pixel") + " positions>";
             })
        .def(py::pickle(&edges_state, &edges_from_state))
        // Every protocol pickles through the module's own function: the
        // protocols below 2 would otherwise make the object through a base
        // type pybind11 does not know.
        .def("__reduce_ex__",
             [](const PyEdges& e, int) {
                 return py::make_tuple(py::module_::import("lintrace").attr("_edges_from_state"),
                                       py::make_tuple(edges_state(e)));
             }, py::arg("protocol"))
        .def("__reduce__", [](const PyEdges& e) {
            return py::make_tuple(py::module_::import("lintrace").attr("_edges_from_state"),
                                  py::make_tuple(edges_state(e)));
        });
    // Pickles name lintrace._edges_from_state, a Python function that calls
    // this one: pickle cannot name a compiled function by itself.
    m.def("_restore_edges", &edges_from_state, py::arg("state"), "Edges from their pickled state.");

    m.def("trace", &trace, py::arg("image"), py::arg("sigma") = 0.4, py::arg("low") = 1.4, py::arg("high") = 2.0,
          py::arg("subpixel") = false, py::arg("threads") = py::none(), py::arg("maxval") = py::none(),
          py::arg("gradient") = false, py::arg("refine") = false,
          R"doc(Finds and links the edges of an image, as the lintrace program does.

image: a 2-D numpy array (rows, columns), or anything numpy.asarray makes
  one of, of
    uint8    grey levels 0..maxval (default 255)
    uint16   grey levels 0..maxval (default 65535), scaled to 0..255
    float    grey levels 0..maxval (default 1.0, scikit-image's
             convention: 0 black, 1 white), scaled to 0..255; without
             maxval a sample above 1 is refused (pass maxval=255 for
             levels on the 0..255 scale, taken as they are)
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
maxval: the largest sample value, the one that stands for white.
gradient: keep the gradient at every point (edges.magnitudes,
  edges.directions, and the magnitude columns of GeoJSON and CSV), at the
  cost of a second gradient pass.

Returns Edges. An 8-bit grey array gives byte for byte the list lintrace
writes for the same image and settings (edges.to_list()). The
interpreter's lock is released while the detector runs, so threads of
Python can trace several images at once.

Raises TypeError for samples of another type, ValueError for another
shape, bad settings or a sample that is not a finite number (saying why
and where), MemoryError when memory runs out.)doc");

    m.def("auto_thresholds", &auto_thresholds, py::arg("image"), py::arg("fraction") = 0.7, py::arg("sigma") = 0.4,
          py::arg("threads") = py::none(), py::arg("maxval") = py::none(),
          R"doc(The thresholds the lintrace program's --auto chooses for an image, as
a tuple (low, high) for trace():

    low, high = lintrace.auto_thresholds(image, 0.7, sigma=1.0)
    edges = lintrace.trace(image, sigma=1.0, low=low, high=high)

gives the edges of `lintrace -s 1.0 --auto 0.7`. high is the smallest
gradient magnitude that at least `fraction` of the pixels inside the
border margin (those suppression can keep) do not exceed, rounded up to
single precision as the program's -ht holds it; low is the single-precision
number nearest to 0.4 high. An image without a pixel inside the margin
gives (0.0, 0.0).

image, sigma, threads, maxval: as for trace().
fraction: above 0 and at most 1.

Raises what trace() raises, and ValueError for a fraction outside (0, 1].)doc");

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

    m.def("georeferencing", &georeferencing_of, py::arg("path"), py::kw_only(), py::arg("page") = 0,
          R"doc(Where an image file lies on a map, as GDAL finds it: a GeoTIFF's own
tags, else a world file beside the image (scene.pgw, scene.pngw or
scene.wld for scene.png). A dict {"transform": GDAL's six numbers (the
corner of pixel/line (P, L) at X = t0 + P t1 + L t2, Y = t3 + P t4 + L t5;
a lintrace point (x, y) is at P = x + 0.5, L = y + 0.5), "epsg": the code
or None, "crs": "EPSG:n" or None, "source": where it was found}, or None
where the image is not georeferenced. Pass it to Edges.write(...,
georeference=) and to_geopandas(crs=...).

Raises OSError where the file cannot be read, ValueError for tags or a world
file that cannot be told (a user-defined coordinate system).)doc");
    m.def("read", &read_image_file, py::arg("path"), py::kw_only(), py::arg("page") = 0,
          py::arg("max_pixels") = py::none(),
          R"doc(Reads an image file as the lintrace program reads it: netpbm (PBM, PGM,
PPM, PAM), PNG, JPEG (turned upright by its EXIF orientation) or TIFF,
whatever its name says, through the program's own decoders.

path: a str, bytes or os.PathLike naming the file.
page: which page of a multi-page TIFF, counted from 0 (--page counts from 1).
max_pixels: refuse an image of more pixels (ValueError naming the file,
  its size and the limit) before its samples are allocated, as
  --max-pixels does: set it for files from untrusted sources.

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

    m.def("_trace_stream", &trace_stream_file, py::arg("path"), py::arg("on_edges"), py::arg("sigma") = 0.4,
          py::arg("low") = 1.4, py::arg("high") = 2.0, py::arg("subpixel") = false, py::arg("threads") = py::none(),
          py::arg("refine") = false, py::arg("page") = 0, py::arg("max_pixels") = py::none(),
          "The image file read a band of rows at a time; on_edges(Edges) for each batch of edges.");
    m.def("_image_size", &image_size, py::arg("path"), py::arg("page") = 0,
          "(columns, rows) of an image file, from its header.");
    m.def("_trace_band", &trace_band_file, py::arg("path"), py::arg("first_row"), py::arg("end_row"),
          py::arg("sigma") = 0.4, py::arg("low") = 1.4, py::arg("high") = 2.0, py::arg("subpixel") = false,
          py::arg("threads") = py::none(), py::arg("refine") = false, py::arg("page") = 0,
          "A band of an image file's rows: (list of Edges of its own groups, dict of its crossing candidates).");
    m.def("_link_crossing", &link_crossing_of, py::arg("bands"), py::arg("width"), py::arg("height"),
          py::arg("sigma") = 0.4, py::arg("low") = 1.4, py::arg("high") = 2.0, py::arg("subpixel") = false,
          py::arg("threads") = py::none(), py::arg("refine") = false,
          "The crossing candidates of every band linked: a list of Edges.");
    m.def("mask_size", &lintrace::mask_size, py::arg("sigma"),
          "The size of the convolution mask a sigma gives: 4 sigma + 0.5 truncated, at least 3, made odd.\n"
          "Raises ValueError when sigma is not positive and finite or the mask is too large.");
    m.def("available_processors", &lintrace::available_processors,
          "Every processor this process may run on (taskset and container limits respected): the\n"
          "number of threads trace() uses by default.");

    m.attr("__name__") = own_name;
}
