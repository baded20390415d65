// linpaint's settings and its switch table.
#include "settings.h"

char infile[1024];
int row;
int col;
int length = 5;
char outfile[1024];

SwitchEntry args[] = {
    {"i", 1, STRING, 1024, infile, 0, "the name of the edge list file for input"},
    {"r", 1, INT, 1, &row, 0, "the rows of the output image"},
    {"c", 1, INT, 1, &col, 0, "the columns of the output image"},
    {"l", 0, INT, 1, &length, 0, "the minimum length of edges (default 5)"},
    {"o", 1, STRING, 1024, outfile, 0, "the name of the file to store the output edge image (PGM format)"},
    {nullptr, 0, 0, 0, nullptr, 0, nullptr},
};
