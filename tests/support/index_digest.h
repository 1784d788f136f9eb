// A digest of everything an index holds that insertion decides — payloads,
// rerank store, every layer's records and edges, entry point, counts, level
// generator — for comparing indexes built in different ways.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "index.h"

namespace testdigest {

class Hasher {
 public:
  void bytes(const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) h_ = (h_ ^ b[i]) * 0x100000001b3ULL;
  }
  template <class T>
  void value(const T& v) {
    bytes(&v, sizeof v);
  }
  std::uint64_t get() const { return h_; }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

inline std::uint64_t digest(const korvane::Index& x) {
  Hasher h;
  for (const korvane::TurboQuantPayload& p : x.payloads()) {
    h.value(p.id);
    h.bytes(p.packed.data(), p.packed.size());
    h.value(p.bias_scale);
    h.value(p.bias_shift);
    h.value(p.renorm_scalar);
  }
  h.bytes(x.originals().data(), x.originals().size_bytes());
  h.bytes(x.sq8().codes().data(), x.sq8().codes().size_bytes());
  h.bytes(x.sq8().scales().data(), x.sq8().scales().size_bytes());
  const korvane::RoutingGraph& g = x.routing();
  h.value(g.nodeCount());
  h.value(g.entryId());
  h.value(g.levelRngState());
  for (std::size_t l = 0; l < g.layerCount(); ++l) {
    h.value(l);
    const korvane::Layer& layer = g.layer(l);
    for (std::size_t s = 0; s < layer.size(); ++s) {
      h.value(layer.idAt(s));
      h.value(layer.bit_vectors[s]);
      const auto neighbors = layer.links[s].neighbors();
      h.value(neighbors.size());
      h.bytes(neighbors.data(), neighbors.size_bytes());
    }
  }
  x.tombstones().forEachSet([&](std::size_t i) { h.value(i); });
  h.value(x.liveCount());
  return h.get();
}

// The level of every node: the highest layer that holds it.
inline std::vector<std::size_t> levels(const korvane::Index& x) {
  const korvane::RoutingGraph& g = x.routing();
  std::vector<std::size_t> out(g.nodeCount(), 0);
  for (std::size_t l = 1; l < g.layerCount(); ++l) {
    for (std::size_t s = 0; s < g.layer(l).size(); ++s) out[g.layer(l).idAt(s)] = l;
  }
  return out;
}

}  // namespace testdigest
