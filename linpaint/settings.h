// linpaint's settings and its switch table: each setting is the target of its
// switch, and its initial value is the default.
#pragma once

#include "args.h"

extern char infile[1024];
extern int row;
extern int col;
extern int length;
extern char outfile[1024];

extern SwitchEntry args[];
