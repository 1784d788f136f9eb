// Indexes for tests, built from parts around an existing rotation: what
// loading produces, at the cost of a 36 MiB copy instead of a 3072 x 3072
// orthonormalisation.
#pragma once

#include "index.h"

namespace testindex {

inline korvane::Index emptyIndex(const korvane::RandomRotation& rotation,
                                 korvane::RerankStore store, std::size_t ef) {
  korvane::IndexParts parts;
  parts.rotation = std::move(*korvane::RandomRotation::fromRows(rotation.rows().data()));
  parts.routing = korvane::RoutingGraph::init(ef);
  parts.rerank_store = store;
  return std::move(*korvane::Index::assemble(std::move(parts)));
}

}  // namespace testindex
