// Connectivity lists for the Python module.
//
// A list is cut into white-space separated tokens by linpaint's own reader
// (src/formats/edge_list.h), a number being a token that converts whole as
// strtod or strtof would convert it. Painting takes each
// position as the list writes it rather than as it is in memory: a sub-pixel
// position such as 12.96 is written "13.0", and linpaint paints the pixel of
// what it reads, so only the written number, read back in single precision,
// gives linpaint's pixel.
#include "edge_lists.h"

#include <cstdio>
#include <string>

#include "edge_list.h"

#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace {

// The token as a number of type T, converting whole: from_chars for the
// common forms, strtod or strtof for the rest (a sign of +, hexadecimal).
template <typename T>
bool to_number(std::string_view token, T* value)
{
    const char* end = token.data() + token.size();
    const auto [stop, error] = std::from_chars(token.data(), end, *value);
    if (error == std::errc() && stop == end) return true;
    const std::string text(token);
    char* parsed = nullptr;
    T converted;
    if constexpr (sizeof(T) == sizeof(float))
        converted = std::strtof(text.c_str(), &parsed);
    else
        converted = std::strtod(text.c_str(), &parsed);
    if (text.empty() || parsed != text.c_str() + text.size()) return false;
    *value = converted;
    return true;
}

// What linpaint's reader makes of the token: its single-precision value.
bool is_minus_one(std::string_view token, double value)
{
    // Only a number within a float's rounding of -1 can read as -1.
    if (!(value > -1.5 && value < -0.5)) return false;
    float single = 0;
    return to_number(token, &single) && single == -1.0f;
}

// A -sp list writes one decimal; a list of pixel positions two.
bool has_one_decimal(std::string_view token)
{
    const size_t point = token.find('.');
    return point != std::string_view::npos && token.size() - point == 2 && token.back() >= '0' && token.back() <= '9';
}

}  // namespace

float nearest_float(double v)
{
    if (std::isfinite(v) && std::fabs(v) > static_cast<double>(FLT_MAX)) {
        const float sign = v > 0 ? 1.0f : -1.0f;
        return std::fabs(v) >= 0x1.ffffffp127 ? sign * INFINITY : sign * FLT_MAX;
    }
    return static_cast<float>(v);
}

ListArrays read_list(std::FILE* file, const std::string& name)
{
    ListArrays list;
    std::vector<lintrace::Point> edge;  // the points of the edge being read
    bool first_token = true;
    bool have_x = false;
    double x = 0;
    std::string x_text;
    auto take = [&](std::string_view token) {
        double value = 0;
        if (!to_number(token, &value)) {
            std::string shown(token.substr(0, 40));
            for (char& c : shown)
                if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
            throw std::invalid_argument("the edge list " + name + " is corrupt: \"" + shown + "\" is not a number");
        }
        if (first_token) list.sub_pixel = has_one_decimal(token);
        first_token = false;
        if (!have_x) {
            x = value;
            x_text.assign(token);
            have_x = true;
            return;
        }
        have_x = false;
        if (is_minus_one(x_text, x) && is_minus_one(token, value)) {
            list.points.insert(list.points.end(), edge.begin(), edge.end());
            list.offsets.push_back(static_cast<int64_t>(list.points.size()));
            edge.clear();
            return;
        }
        edge.push_back(lintrace::Point{x, value});
    };
    EdgeListFile reader;
    reader.fd = fileno(file);
    reader.path = name.c_str();
    reader.buffer.resize(1 << 20);
    for (;;) {
        const TokenRead read = next_token(&reader);
        if (read == TOKEN_NONE) break;
        if (read == TOKEN_FAILED) {
            if (reader.token_too_long)
                throw std::invalid_argument("the edge list " + name + " is corrupt: a token of more than " +
                                            std::to_string(LONGEST_TOKEN) + " characters");
            throw std::system_error(reader.read_error != 0 ? reader.read_error : EIO, std::generic_category(), name);
        }
        take(std::string_view(reader.token));
    }
    return list;
}

void paint_edges(const lintrace::Edges& edges, int64_t min_length, uint8_t* pixels, int64_t rows, int64_t columns)
{
    struct Single {
        float x, y;
    };
    const int decimals = edges.sub_pixel() ? 1 : 2;
    // The number the list writes for v, read back in single precision. A
    // whole number is written exactly, so its float is the one nearest v
    // itself; only the others need their text.
    const auto as_written = [decimals](double v) {
        if (!std::isfinite(v) || v == std::trunc(v)) return nearest_float(v);
        char text[400];
        const char* end = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, decimals).ptr;
        float single = 0;
        to_number(std::string_view(text, static_cast<size_t>(end - text)), &single);
        return single;
    };
    std::vector<Single> edge;
    const auto paint_edge = [&] {
        const int64_t count = static_cast<int64_t>(edge.size());
        if (count >= min_length && count > 0)
            for (const Single& p : edge) {
                if (!(p.x > -1.0f && p.x < 2147483648.0f && p.y > -1.0f && p.y < 2147483648.0f)) continue;
                const int64_t column = static_cast<int64_t>(p.x);
                const int64_t row = static_cast<int64_t>(p.y);
                if (column >= columns || row >= rows) continue;
                pixels[row * columns + column] = 255;
            }
        edge.clear();
    };
    const std::vector<lintrace::Point>& points = edges.points();
    const std::vector<int64_t>& offsets = edges.offsets();
    for (size_t k = 0; k + 1 < offsets.size(); ++k) {
        for (int64_t p = offsets[k]; p < offsets[k + 1]; ++p) {
            const Single point{as_written(points[p].x), as_written(points[p].y)};
            // A point the list writes as -1 -1 closes an edge to linpaint.
            if (point.x == -1.0f && point.y == -1.0f) {
                paint_edge();
                continue;
            }
            edge.push_back(point);
        }
        paint_edge();
    }
}
