// c_api: the exported C functions. Each forwards to the index inside one
// helper that catches everything, so no exception ever crosses the C
// boundary; errors become the frozen integer codes through errCode.
#pragma once

#include "index.h"
#include "korvane.h"

// The opaque handle holds exactly one index.
struct korvane_index {
  korvane::Index index;
};

struct korvane_context {
  korvane::SearchContext ctx;
};
