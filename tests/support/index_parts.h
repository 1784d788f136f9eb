// Indexes for tests built from parts around an existing rotation: what
// loading produces, without drawing a rotation.
#pragma once

#include <utility>

#include "index.h"
#include "rotation.h"
#include "support/rotation.h"

namespace testsupport {

// An empty index with a copy of `rotation`, the given rerank store and
// build breadth: the same as a created index of that store kind.
inline korvane::Index emptyIndex(const korvane::RandomRotation& rotation,
                                 korvane::RerankStore store, std::size_t ef) {
  korvane::IndexParts parts;
  parts.rotation = copyOf(rotation);
  parts.routing = korvane::RoutingGraph::init(ef);
  parts.rerank_store = store;
  return std::move(*korvane::Index::assemble(std::move(parts)));
}

// The same around the shared rotation: korvane_index_create(ef,
// c_shared_seed) for the sq8 store.
inline korvane::Index emptyIndex(korvane::RerankStore store = korvane::RerankStore::sq8,
                                 std::size_t ef = 64) {
  return emptyIndex(sharedRotation(), store, ef);
}

}  // namespace testsupport
