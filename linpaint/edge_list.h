// Reading a connectivity list: decimal numbers taken two at a time, each pair
// a point (column, row), the pair -1 -1 closing an edge. Any white space
// separates the numbers; the line layout carries no meaning.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

struct EdgePoint {
    float x;  // column
    float y;  // row
};

struct EdgeListFile {
    FILE* file = nullptr;
    const char* path = "";
    std::vector<char> buffer;
    size_t position = 0;
    size_t filled = 0;
    bool at_end = false;
    std::string token;
};

// Opens the list; the path "-" is the standard input stream. False when it cannot be opened.
bool open_edge_list(EdgeListFile* list, const char* path);
void close_edge_list(EdgeListFile* list);

enum EdgeRead { EDGE_END_OF_INPUT = 0, EDGE_CLOSED = 1, EDGE_CORRUPT = -1 };

// Reads the next edge into edge_list (emptied first). EDGE_CLOSED when its
// closing pair was read; EDGE_END_OF_INPUT when the input ended first, also
// after a lone number (the unfinished edge is then dropped); EDGE_CORRUPT,
// after a message naming the file, when a token is not a number or the file
// cannot be read.
EdgeRead read_one_edge(EdgeListFile* list, std::vector<EdgePoint>* edge_list);
