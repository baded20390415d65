// The image linpaint draws on: all black at first, white where points fall.
#pragma once

#include "edge_list.h"
#include "imgformat.h"

// False when an image of rows x columns bytes could not be held in memory.
bool image_fits_in_memory(int rows, int columns);
// A raw PGM image of rows x columns black pixels, maximum value 255.
PgmImage* black_image(int rows, int columns);
// Sets the pixel under the point to 255: the pixel is found by truncation
// toward zero, and a point whose pixel is outside the image (or that is not
// finite) is skipped.
void paint_point(PgmImage* image, const EdgePoint& point);
