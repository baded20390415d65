// Connectivity lists for the Python module.
//
// Both directions cut text into white-space separated tokens the way
// linpaint's reader does (the same six white-space characters, a number being
// a token that converts whole as strtod or strtof would convert it). Painting
// goes through the text the list writer makes rather than through the
// positions in memory: a sub-pixel position such as 12.96 is written "13.0",
// and linpaint paints the pixel of what it reads, so only the written
// number, read back in single precision, gives linpaint's pixel.
#include "edge_lists.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace {

constexpr size_t BLOCK_BYTES = 1 << 20;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Cuts text handed over in pieces into tokens; a token may straddle pieces.
template <typename Take>
class Tokens {
public:
    explicit Tokens(Take take) : take_(take) {}

    void feed(std::string_view text)
    {
        size_t at = 0;
        while (at < text.size()) {
            if (is_space(text[at])) {
                if (!carry_.empty()) {
                    take_(std::string_view(carry_));
                    carry_.clear();
                }
                ++at;
                continue;
            }
            size_t stop = at;
            while (stop < text.size() && !is_space(text[stop])) ++stop;
            if (stop == text.size() || !carry_.empty()) {
                carry_.append(text.substr(at, stop - at));
            } else {
                take_(text.substr(at, stop - at));
            }
            at = stop;
        }
    }

    void finish()
    {
        if (!carry_.empty()) take_(std::string_view(carry_));
        carry_.clear();
    }

private:
    Take take_;
    std::string carry_;
};

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
    Tokens<decltype(take)&> tokens(take);
    std::vector<char> block(BLOCK_BYTES);
    for (;;) {
        const size_t filled = std::fread(block.data(), 1, block.size(), file);
        if (filled == 0) {
            if (std::ferror(file)) throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), name);
            break;
        }
        tokens.feed(std::string_view(block.data(), filled));
    }
    tokens.finish();
    return list;
}

void paint_edges(const lintrace::Edges& edges, int64_t min_length, uint8_t* pixels, int64_t rows, int64_t columns)
{
    struct Single {
        float x, y;
    };
    std::vector<Single> edge;
    bool have_x = false;
    float x = 0;
    auto paint_edge = [&] {
        const int64_t count = static_cast<int64_t>(edge.size());
        if (count < min_length || count == 0) return;
        for (const Single& p : edge) {
            if (!(p.x > -1.0f && p.x < 2147483648.0f && p.y > -1.0f && p.y < 2147483648.0f)) continue;
            const int64_t column = static_cast<int64_t>(p.x);
            const int64_t row = static_cast<int64_t>(p.y);
            if (column >= columns || row >= rows) continue;
            pixels[row * columns + column] = 255;
        }
    };
    auto take = [&](std::string_view token) {
        float value = 0;
        // The writer's tokens are all numbers; anything else would end
        // linpaint's reading, and ends the drawing here.
        if (!to_number(token, &value)) throw std::invalid_argument("the list of these edges has a token that is not a number");
        if (!have_x) {
            x = value;
            have_x = true;
            return;
        }
        have_x = false;
        if (x == -1.0f && value == -1.0f) {
            paint_edge();
            edge.clear();
            return;
        }
        edge.push_back(Single{x, value});
    };
    Tokens<decltype(take)&> tokens(take);
    edges.write_list([&tokens](std::string_view piece) { tokens.feed(piece); });
    tokens.finish();
}
