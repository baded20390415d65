// Reading a connectivity list: decimal numbers taken two at a time, each pair
// a point (column, row), the pair -1 -1 closing an edge. Any white space
// separates the numbers; the line layout carries no meaning.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct EdgePoint {
    float x;  // column
    float y;  // row
};

struct EdgeListFile {
    int fd = -1;
    const char* path = "";
    std::vector<char> buffer;
    size_t position = 0;
    size_t filled = 0;
    bool at_end = false;
    std::string token;
    int read_error = 0;          // the errno of a failed read
    bool token_too_long = false;  // a token went past LONGEST_TOKEN
};

// The longest token read: no number that lintrace writes comes near it, and
// a stream without white space (a device of zeros, a pipe that never ends a
// token) is refused after it instead of being gathered without end.
constexpr size_t LONGEST_TOKEN = 255;

// Opens the list; the path "-" is the standard input stream. False, with
// errno telling why, when it cannot be opened or is a directory.
bool open_edge_list(EdgeListFile* list, const char* path);
void close_edge_list(EdgeListFile* list);

enum TokenRead { TOKEN_READ, TOKEN_NONE, TOKEN_FAILED };

// The next white-space separated token into list->token: TOKEN_NONE at the
// end of the input, TOKEN_FAILED (printing nothing) when a read fails
// (list->read_error) or the token is too long (list->token_too_long). The
// readers of linpaint and of the Python module both take their tokens here.
TokenRead next_token(EdgeListFile* list);

enum PairRead { PAIR_POINT, PAIR_CLOSES_EDGE, PAIR_END_OF_INPUT, PAIR_CORRUPT };

// Reads the next pair: a point, the closing pair, the end of the input (also
// after a lone number), or, after a message naming the file, a token that is
// not a number or a failed read.
PairRead read_pair(EdgeListFile* list, EdgePoint* point);

enum EdgeRead { EDGE_END_OF_INPUT = 0, EDGE_CLOSED = 1, EDGE_CORRUPT = -1 };

// Reads the next edge into edge_list (emptied first). EDGE_CLOSED when its
// closing pair was read; EDGE_END_OF_INPUT when the input ended first, also
// after a lone number (the unfinished edge is then dropped); EDGE_CORRUPT,
// after a message naming the file, when a token is not a number or the file
// cannot be read. The edge is held whole: linpaint itself paints the points
// as they come (see EdgePainter).
EdgeRead read_one_edge(EdgeListFile* list, std::vector<EdgePoint>* edge_list);
