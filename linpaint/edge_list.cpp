// Reading a connectivity list.
//
// The list is read in large blocks and cut into white-space separated tokens.
// A token is a number when the whole of it converts as C's strtof would
// convert it (decimal, exponent, inf, nan, hexadecimal); std::from_chars
// handles the common forms quickly and strtof the rest.
#include "edge_list.h"

#include <sys/stat.h>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t BLOCK_BYTES = 1 << 20;
constexpr size_t LONGEST_TOKEN = 1 << 16;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// False at the end of the input or on a read error (reported through errno_out).
bool refill(EdgeListFile* list, int* error)
{
    if (list->at_end) return false;
    list->filled = std::fread(list->buffer.data(), 1, list->buffer.size(), list->file);
    list->position = 0;
    if (list->filled == 0) {
        list->at_end = true;
        if (std::ferror(list->file)) *error = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

enum TokenRead { TOKEN_READ, TOKEN_NONE, TOKEN_FAILED };

// The next token into list->token.
TokenRead next_token(EdgeListFile* list)
{
    int error = 0;
    list->token.clear();
    for (;;) {
        if (list->position == list->filled && !refill(list, &error)) {
            if (error != 0) {
                std::fprintf(stderr, "Error reading input file %s: %s ... exit!\n", list->path, std::strerror(error));
                return TOKEN_FAILED;
            }
            return TOKEN_NONE;
        }
        if (!is_space(list->buffer[list->position])) break;
        ++list->position;
    }
    for (;;) {
        const char* begin = list->buffer.data() + list->position;
        const char* end = list->buffer.data() + list->filled;
        const char* stop = begin;
        while (stop < end && !is_space(*stop)) ++stop;
        list->token.append(begin, stop);
        list->position = static_cast<size_t>(stop - list->buffer.data());
        if (list->token.size() > LONGEST_TOKEN) {
            std::fprintf(stderr, "The edge list %s is corrupt: a token of more than %zu characters ... exit!\n",
                         list->path, LONGEST_TOKEN);
            return TOKEN_FAILED;
        }
        if (stop < end) return TOKEN_READ;
        if (!refill(list, &error)) {
            if (error != 0) {
                std::fprintf(stderr, "Error reading input file %s: %s ... exit!\n", list->path, std::strerror(error));
                return TOKEN_FAILED;
            }
            return TOKEN_READ;
        }
    }
}

bool to_number(const std::string& token, float* value)
{
    const char* begin = token.data();
    const char* end = begin + token.size();
    const auto [stop, error] = std::from_chars(begin, end, *value);
    if (error == std::errc() && stop == end) return true;
    char* parsed = nullptr;
    const float converted = std::strtof(begin, &parsed);
    if (parsed != end || token.empty()) return false;
    *value = converted;
    return true;
}

void report_corrupt(const EdgeListFile* list)
{
    std::string shown = list->token.substr(0, 40);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
    std::fprintf(stderr, "The edge list %s is corrupt: \"%s\" is not a number ... exit!\n", list->path, shown.c_str());
}

}  // namespace

bool open_edge_list(EdgeListFile* list, const char* path)
{
    list->path = path;
    list->buffer.resize(BLOCK_BYTES);
    list->position = list->filled = 0;
    list->at_end = false;
    if (std::strcmp(path, "-") == 0) {
        list->file = stdin;
        return true;
    }
    list->file = std::fopen(path, "r");
    if (list->file == nullptr) return false;
    struct stat status {};
    if (fstat(fileno(list->file), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(list->file);
        list->file = nullptr;
        return false;
    }
    return true;
}

void close_edge_list(EdgeListFile* list)
{
    if (list->file != nullptr && list->file != stdin) std::fclose(list->file);
    list->file = nullptr;
}

EdgeRead read_one_edge(EdgeListFile* list, std::vector<EdgePoint>* edge_list)
{
    edge_list->clear();
    for (;;) {
        EdgePoint point;
        TokenRead read = next_token(list);
        if (read == TOKEN_FAILED) return EDGE_CORRUPT;
        if (read == TOKEN_NONE) return EDGE_END_OF_INPUT;
        if (!to_number(list->token, &point.x)) {
            report_corrupt(list);
            return EDGE_CORRUPT;
        }
        read = next_token(list);
        if (read == TOKEN_FAILED) return EDGE_CORRUPT;
        if (read == TOKEN_NONE) return EDGE_END_OF_INPUT;
        if (!to_number(list->token, &point.y)) {
            report_corrupt(list);
            return EDGE_CORRUPT;
        }
        if (point.x == -1.0f && point.y == -1.0f) return EDGE_CLOSED;
        edge_list->push_back(point);
    }
}
