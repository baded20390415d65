// Reading a connectivity list.
//
// The list is read in blocks of what the input has ready (a pipe's writer is
// never waited for beyond what a token needs) and cut into white-space
// separated tokens.
// A token is a number when the whole of it converts as C's strtof would
// convert it (decimal, exponent, inf, nan, hexadecimal); std::from_chars
// handles the common forms quickly and strtof the rest.
#include "edge_list.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t BLOCK_BYTES = 1 << 20;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// False at the end of the input or on a read error (reported through *error).
bool refill(EdgeListFile* list, int* error)
{
    if (list->at_end) return false;
    ssize_t got;
    for (;;) {
        got = ::read(list->fd, list->buffer.data(), list->buffer.size());
        if (got >= 0 || errno == EINTR) {
            if (got >= 0) break;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) break;
        // A standard input left non-blocking by the caller is waited for.
        pollfd wanted{list->fd, POLLIN, 0};
        while (poll(&wanted, 1, -1) < 0 && errno == EINTR) {
        }
    }
    list->position = 0;
    list->filled = got > 0 ? static_cast<size_t>(got) : 0;
    if (got <= 0) {
        list->at_end = true;
        if (got < 0) *error = errno;
        return false;
    }
    return true;
}

// linpaint's message for a token that could not be read.
void report_failure(const EdgeListFile* list)
{
    if (list->token_too_long)
        std::fprintf(stderr, "The edge list %s is corrupt: a token of more than %zu characters ... exit!\n", list->path,
                     LONGEST_TOKEN);
    else
        std::fprintf(stderr, "Error reading input file %s: %s ... exit!\n", list->path,
                     std::strerror(list->read_error));
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
        list->fd = STDIN_FILENO;
        return true;
    }
    list->fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (list->fd < 0) return false;
    struct stat status {};
    if (fstat(list->fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        ::close(list->fd);
        list->fd = -1;
        errno = EISDIR;
        return false;
    }
    return true;
}

void close_edge_list(EdgeListFile* list)
{
    if (list->fd >= 0 && list->fd != STDIN_FILENO) ::close(list->fd);
    list->fd = -1;
}

TokenRead next_token(EdgeListFile* list)
{
    int error = 0;
    list->token.clear();
    for (;;) {
        if (list->position == list->filled && !refill(list, &error)) {
            if (error != 0) {
                list->read_error = error;
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
        // Scanned no further than one character past the longest token.
        const size_t room = LONGEST_TOKEN + 1 - list->token.size();
        if (static_cast<size_t>(end - begin) > room) end = begin + room;
        while (stop < end && !is_space(*stop)) ++stop;
        list->token.append(begin, stop);
        list->position = static_cast<size_t>(stop - list->buffer.data());
        if (list->token.size() > LONGEST_TOKEN) {
            list->token_too_long = true;
            return TOKEN_FAILED;
        }
        if (stop < list->buffer.data() + list->filled) return TOKEN_READ;
        if (!refill(list, &error)) {
            if (error != 0) {
                list->read_error = error;
                return TOKEN_FAILED;
            }
            return TOKEN_READ;
        }
    }
}

PairRead read_pair(EdgeListFile* list, EdgePoint* point)
{
    for (float* number : {&point->x, &point->y}) {
        const TokenRead read = next_token(list);
        if (read == TOKEN_FAILED) {
            report_failure(list);
            return PAIR_CORRUPT;
        }
        if (read == TOKEN_NONE) return PAIR_END_OF_INPUT;
        if (!to_number(list->token, number)) {
            report_corrupt(list);
            return PAIR_CORRUPT;
        }
    }
    return point->x == -1.0f && point->y == -1.0f ? PAIR_CLOSES_EDGE : PAIR_POINT;
}

EdgeRead read_one_edge(EdgeListFile* list, std::vector<EdgePoint>* edge_list)
{
    edge_list->clear();
    for (;;) {
        EdgePoint point;
        switch (read_pair(list, &point)) {
            case PAIR_CORRUPT:
                return EDGE_CORRUPT;
            case PAIR_END_OF_INPUT:
                return EDGE_END_OF_INPUT;
            case PAIR_CLOSES_EDGE:
                return EDGE_CLOSED;
            case PAIR_POINT:
                edge_list->push_back(point);
                break;
        }
    }
}
