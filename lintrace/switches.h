// lintrace's settings and its switch table: each setting is the target of its
// switch, and its initial value is the default.
#pragma once

#include "args.h"

extern double sigma;
extern int mask;
extern float low_threshold;
extern float high_threshold;
extern int Sub_pixel;
extern char infile[256];
extern char outfile[256];

extern SwitchEntry args[];

// After parsing: sigma takes the value given with -s, if one converted.
void take_sigma_switch();
