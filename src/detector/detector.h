// The detector's stages, in the order a run takes them, each in its own
// file with a header of its own:
//   gradient.h      Gaussian derivative images dx, dy and the gradient magnitude,
//                   row by row (convolve.cpp, hypot.cpp)
//   suppress.h      non-maximum suppression and sub-pixel placement (maximum.cpp
//                   the rule for one pixel, suppress.cpp its bands), filling the
//                   edgel table (edgel.h) and the label image (labels.h)
//   refine.h        refined sub-pixel placement, across the edge during
//                   suppression and along it once linking has ordered the points
//   link.h          hysteresis linking of candidates into edges (walk.cpp the
//                   walks, sweeps and junction passes, link.cpp its bands and
//                   merging, sweep_order.cpp the sorts), stopped at junctions
//                   (junction.h)
//   connectivity.h  the connectivity list (list_format.cpp the text,
//                   connectivity.cpp the writer's pipeline)
// The working state of a run is one Detector record (state.h) handed from
// stage to stage; parallel.h shares the work of every stage out among threads,
// kernels.h holds the vector kernels; measure.h measures the gradient beside
// the detector's path, for the vector outputs. This header gathers them all.
#pragma once

#include "chains.h"
#include "connectivity.h"
#include "edgel.h"
#include "gradient.h"
#include "junction.h"
#include "labels.h"
#include "link.h"
#include "measure.h"
#include "refine.h"
#include "state.h"
#include "suppress.h"
