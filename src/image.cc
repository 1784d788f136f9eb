#include "image.h"

#include <algorithm>
#include <limits>

#include "alloc.h"

namespace korvane {

namespace {

// Bytes of the rerank section for the kind written to the header.
std::uint64_t storeBytes(const Index& index, std::uint8_t kind) noexcept {
  const std::uint64_t n = index.payloadCount();
  switch (kind) {
    case static_cast<std::uint8_t>(RerankStore::fp32):
      return n * c_fp32_record_bytes;
    case static_cast<std::uint8_t>(RerankStore::sq8):
      return n * c_sq8_record_bytes;
    default:
      return 0;
  }
}

std::uint8_t storeKind(const Index& index) noexcept {
  return index.hasRerankStore() ? static_cast<std::uint8_t>(index.rerankStore()) : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing

std::uint64_t imageSize(const Index& index, std::span<const Label> labels) noexcept {
  const RoutingGraph& g = index.routing();
  std::uint64_t size = c_header_bytes + c_rotation_bytes;
  if (index.calibFrozen()) size += c_calibration_bytes;
  size += index.payloadCount() * c_payload_bytes;
  size += storeBytes(index, storeKind(index));
  for (std::size_t l = 0; l < g.layerCount(); ++l) {
    size += 8;
    for (const NodeLinks& links : g.layer(l).links) size += c_node_bytes + 8 * links.neighbors().size();
  }
  size += 8 + 8 * std::uint64_t{index.tombstones().count()};
  for (const Label& label : labels) size += 2 + label.size();
  return size + c_trailer_bytes;
}

Status writeImage(const Index& index, std::span<const Label> labels, Writer& w) noexcept {
  const std::uint64_t n = index.payloadCount();
  const RoutingGraph& g = index.routing();
  if (labels.size() != n) return std::unexpected(Error::Unexpected);
  for (const Label& label : labels) {
    if (label.size() > c_max_label_bytes) return std::unexpected(Error::Unexpected);
  }
  const bool calibrated = index.calibFrozen();
  if (calibrated && (index.calibShift().size() != c_dim || index.calibScale().size() != c_dim)) {
    return std::unexpected(Error::Unexpected);
  }
  const std::uint8_t kind = storeKind(index);

  // Header.
  std::array<std::uint8_t, c_header_bytes> header{};
  std::memcpy(header.data(), magic.data(), magic.size());
  storeLe<std::uint32_t>(&header[4], c_dim);
  storeLe<std::uint32_t>(&header[8], c_max_edges);
  storeLe<std::uint32_t>(&header[12], c_routing_bits);
  storeLe<std::uint64_t>(&header[16], n);
  storeLe<std::uint64_t>(&header[24], g.efConstruction());
  storeLe<std::uint64_t>(&header[32], g.entryId());
  storeLe<std::uint32_t>(&header[40], static_cast<std::uint32_t>(g.layerCount()));
  header[44] = kind;
  header[45] = calibrated ? 1 : 0;
  if (auto s = w.raw(header); !s) return s;

  if (calibrated) {
    if (auto s = w.raw(asBytes(index.calibShift())); !s) return s;
    if (auto s = w.raw(asBytes(index.calibScale())); !s) return s;
  }
  if (auto s = w.raw(asBytes(index.rotation().rows())); !s) return s;

  // Payloads: the only records packed field by field, since a chunk is four
  // bytes in memory and three in the file.
  std::array<std::uint8_t, c_payload_bytes> record;
  for (const TurboQuantPayload& p : index.payloads()) {
    storeLe<std::uint64_t>(record.data(), p.id);
    std::uint8_t* out = record.data() + 8;
    std::memcpy(out, p.packed.data(), p.packed.size());  // the file's own chunk layout
    out += p.packed.size();
    storeLe(out, p.bias_scale);
    storeLe(out + 4, p.bias_shift);
    storeLe(out + 8, p.renorm_scalar);
    if (auto s = w.raw(record); !s) return s;
  }

  if (kind == static_cast<std::uint8_t>(RerankStore::fp32)) {
    if (auto s = w.raw(asBytes(index.originals())); !s) return s;
  } else if (kind == static_cast<std::uint8_t>(RerankStore::sq8)) {
    if (auto s = w.raw(asBytes(index.sq8().codes())); !s) return s;
    if (auto s = w.raw(asBytes(index.sq8().scales())); !s) return s;
  }

  // Graph: each node record with only its valid neighbours.
  std::array<std::uint8_t, c_node_bytes + 8 * c_max_edges> node_record;
  for (std::size_t l = 0; l < g.layerCount(); ++l) {
    const Layer& layer = g.layer(l);
    if (auto s = w.integer<std::uint64_t>(layer.size()); !s) return s;
    for (std::size_t slot = 0; slot < layer.size(); ++slot) {
      const std::span<const std::uint32_t> neighbors = layer.links[slot].neighbors();
      storeLe<std::uint64_t>(node_record.data(), layer.idAt(slot));
      std::memcpy(node_record.data() + 8, layer.bit_vectors[slot].words.data(), sizeof(BitVector));
      storeLe<std::uint32_t>(node_record.data() + 8 + sizeof(BitVector),
                             static_cast<std::uint32_t>(neighbors.size()));
      for (std::size_t e = 0; e < neighbors.size(); ++e) {
        storeLe<std::uint64_t>(node_record.data() + c_node_bytes + 8 * e, neighbors[e]);
      }
      const std::size_t bytes = c_node_bytes + 8 * neighbors.size();
      if (auto s = w.raw(std::span(node_record).first(bytes)); !s) return s;
    }
  }

  // Deletion list, ascending.
  const BitSet& tombstones = index.tombstones();
  if (auto s = w.integer<std::uint64_t>(tombstones.count()); !s) return s;
  Status listed = ok();
  tombstones.forEachSet([&](std::size_t i) {
    if (listed) listed = w.integer<std::uint64_t>(i);
  });
  if (!listed) return listed;

  for (const Label& label : labels) {
    if (auto s = w.integer(static_cast<std::uint16_t>(label.size())); !s) return s;
    if (auto s = w.raw(label); !s) return s;
  }

  // The trailer: the checksum of every byte before it.
  std::array<std::uint8_t, c_trailer_bytes> trailer;
  std::memcpy(trailer.data(), trailer_magic.data(), trailer_magic.size());
  storeLe<std::uint32_t>(&trailer[4], c_trailer_version);
  storeLe<std::uint64_t>(&trailer[8], w.written());
  storeLe<std::uint64_t>(&trailer[16], w.checksum());
  if (auto s = w.raw(trailer); !s) return s;
  return w.flush();
}

std::expected<std::vector<std::uint8_t>, Error> serialize(const Index& index,
                                                          std::span<const Label> labels) noexcept {
  std::vector<std::uint8_t> bytes;
  if (labels.size() != index.payloadCount()) return std::unexpected(Error::Unexpected);
  if (auto s = tryReserve(bytes, imageSize(index, labels)); !s) return std::unexpected(s.error());
  Writer w(bytes);
  if (auto s = writeImage(index, labels, w); !s) return std::unexpected(s.error());
  return bytes;
}

// ---------------------------------------------------------------------------
// Parsing

namespace {

// Reads `count` values of T into `out`, which gets room for exactly that
// many; the length is checked against the input before anything is
// allocated. The values go through a small aligned block rather than
// straight into the vector: a vector can only be lengthened by initialising
// its new elements, and zero-filling hundreds of megabytes first would cost
// as much again as reading them.
template <class T>
Status readValues(Reader& r, std::vector<T>& out, std::uint64_t count) noexcept {
  if (count > r.remaining() / sizeof(T)) return r.refuse("an array runs past the end");
  if (auto s = tryReserve(out, static_cast<std::size_t>(count)); !s) return s;
  constexpr std::size_t c_block = 4096 / sizeof(T);
  std::array<T, c_block> block;
  for (std::uint64_t done = 0; done < count;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(c_block, count - done));
    if (auto s = r.copyTo(block.data(), n * sizeof(T)); !s) return s;
    out.insert(out.end(), block.begin(), block.begin() + n);  // reserved: cannot throw
    done += n;
  }
  return ok();
}

Status readPayloads(Reader& r, std::uint64_t n, std::vector<TurboQuantPayload>& out) noexcept {
  // Every record occupies 1172 bytes of input: a count the rest of the input
  // cannot hold is a truncated file, whatever the allocator would say.
  if (n > r.remaining() / c_payload_bytes) return r.refuse("the payloads run past the end");
  if (auto s = tryReserve(out, static_cast<std::size_t>(n)); !s) return s;
  for (std::uint64_t i = 0; i < n; ++i) {
    auto rec = r.raw(c_payload_bytes);
    if (!rec) return std::unexpected(rec.error());
    const std::uint8_t* in = rec->data();
    TurboQuantPayload p;
    p.id = loadLe<std::uint64_t>(in);
    in += 8;
    std::memcpy(p.packed.data(), in, p.packed.size());
    in += p.packed.size();
    p.bias_scale = loadLe<float>(in);
    p.bias_shift = loadLe<float>(in + 4);
    p.renorm_scalar = loadLe<float>(in + 8);
    out.push_back(p);  // reserved: cannot throw
  }
  return ok();
}

Status readStore(Reader& r, std::uint64_t n, std::uint8_t kind, IndexParts& parts) noexcept {
  if (n > std::numeric_limits<std::uint64_t>::max() / c_dim) {
    return r.refuse("the rerank store is too large");
  }
  const std::uint64_t values = n * c_dim;
  if (kind == static_cast<std::uint8_t>(RerankStore::fp32)) {
    return readValues(r, parts.originals, values);
  }
  if (kind == static_cast<std::uint8_t>(RerankStore::sq8)) {
    if (auto s = readValues(r, parts.sq8_codes, values); !s) return s;
    return readValues(r, parts.sq8_scales, n);
  }
  return ok();
}

Status readGraph(Reader& r, std::uint64_t n, std::uint32_t layer_count,
                 RoutingGraph& graph) noexcept {
  // Insertion never builds more than 32 layers; a file that claims more is
  // damaged, and refusing it up front bounds the layer list.
  if (layer_count > c_max_layers) return r.refuse("more than 32 layers");
  std::uint64_t below = n;  // no layer holds more nodes than the one below it
  for (std::uint32_t l = 0; l < layer_count; ++l) {
    if (auto s = graph.appendLayerForLoad(); !s) return s;
    auto count = r.integer<std::uint64_t>();
    if (!count) return std::unexpected(count.error());
    if (auto b = r.boundedCount(*count, c_node_bytes, "a layer runs past the end"); !b) {
      return std::unexpected(b.error());
    }
    if (l == 0 && *count != n) return r.refuse("layer 0 does not hold every vector");
    if (l > 0 && *count > below) return r.refuse("a layer is larger than the one below");
    below = *count;
    for (std::uint64_t s = 0; s < *count; ++s) {
      auto fixed = r.raw(c_node_bytes);
      if (!fixed) return std::unexpected(fixed.error());
      GraphNode node{};
      node.id = loadLe<std::uint64_t>(fixed->data());
      if (node.id >= n) return r.refuse("node id out of range");
      // Layer 0 holds every node at slot = id; anything else would make its
      // direct-indexed lookups wrong.
      if (l == 0 && node.id != s) return r.refuse("layer 0 is not in id order");
      std::memcpy(node.bit_vector.words.data(), fixed->data() + 8, sizeof(BitVector));
      node.links.count = loadLe<std::uint32_t>(fixed->data() + 8 + sizeof(BitVector));
      if (node.links.count > c_max_edges) return r.refuse("more than 32 edges");
      auto edges = r.raw(8 * std::uint64_t{node.links.count});
      if (!edges) return std::unexpected(edges.error());
      for (std::uint32_t e = 0; e < node.links.count; ++e) {
        const auto nb = loadLe<std::uint64_t>(edges->data() + 8 * e);
        if (nb >= n) return r.refuse("neighbour id out of range");
        node.links.ids[e] = static_cast<std::uint32_t>(nb);  // n < 2^32, checked above
      }
      if (auto a = graph.appendNodeForLoad(l, node); !a) return a;
    }
  }
  return ok();
}

Status readDeletions(Reader& r, std::uint64_t n, BitSet& tombstones) noexcept {
  auto count = r.integer<std::uint64_t>();
  if (!count) return std::unexpected(count.error());
  if (*count == 0) return ok();  // nothing deleted: the set stays empty
  if (*count > n) return r.refuse("more deletions than vectors");
  if (auto s = tombstones.resize(static_cast<std::size_t>(n)); !s) return s;
  // Repeats and any order are accepted: a repeat sets the same bit again.
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto id = r.integer<std::uint64_t>();
    if (!id) return std::unexpected(id.error());
    if (*id >= n) return r.refuse("deleted id out of range");
    tombstones.set(static_cast<std::size_t>(*id));
  }
  return ok();
}

Status readLabels(Reader& r, std::uint64_t n, std::vector<Label>& labels,
                  Buffer<std::uint8_t>& label_blob) noexcept {
  // Each label takes at least its two length bytes.
  if (n > r.remaining() / 2) return r.refuse("the labels run past the end");
  if (auto s = tryResize(labels, static_cast<std::size_t>(n)); !s) return s;
  std::vector<std::uint64_t> offsets;
  if (auto s = tryResize(offsets, static_cast<std::size_t>(n) + 1); !s) return s;
  std::vector<std::uint8_t> blob;
  for (std::uint64_t i = 0; i < n; ++i) {
    offsets[i] = blob.size();
    auto len = r.integer<std::uint16_t>();
    if (!len) return std::unexpected(len.error());
    if (*len > r.remaining()) return r.refuse("a label runs past the end");
    if (auto s = tryReserveMore(blob, *len); !s) return s;
    const std::size_t at = blob.size();
    blob.resize(at + *len);  // reserved: cannot throw
    if (auto s = r.copyTo(blob.data() + at, *len); !s) return s;
  }
  offsets[n] = blob.size();
  auto exact = Buffer<std::uint8_t>::make(blob.size());
  if (!exact) return std::unexpected(exact.error());
  if (!blob.empty()) std::memcpy(exact->data(), blob.data(), blob.size());
  label_blob = std::move(*exact);
  for (std::uint64_t i = 0; i < n; ++i) {
    labels[i] = Label(label_blob.data() + offsets[i], offsets[i + 1] - offsets[i]);
  }
  return ok();
}

}  // namespace

std::expected<LoadedIndex, Error> readImage(Reader& r) noexcept {
  // Header, each field read just before its check.
  auto head = r.raw(magic.size());
  if (!head) return std::unexpected(head.error());
  if (!std::equal(magic.begin(), magic.end(), head->begin())) {
    return r.refuse("is not a korvane index file (wrong magic)", Error::NotATqIndex);
  }
  const std::pair<std::uint32_t, Error> constants[] = {
      {static_cast<std::uint32_t>(c_dim), Error::DimensionMismatch},
      {static_cast<std::uint32_t>(c_max_edges), Error::MaxEdgesMismatch},
      {static_cast<std::uint32_t>(c_routing_bits), Error::RoutingBitsMismatch},
  };
  for (const auto& [expected, mismatch] : constants) {
    auto v = r.integer<std::uint32_t>();
    if (!v) return std::unexpected(v.error());
    if (*v != expected) {
      return r.refuse(mismatch == Error::DimensionMismatch ? "was made for another dimension"
                      : mismatch == Error::MaxEdgesMismatch
                          ? "was made for another graph degree"
                          : "was made for another routing-code width",
                      mismatch);
    }
  }
  auto n = r.integer<std::uint64_t>();
  if (!n) return std::unexpected(n.error());
  auto ef = r.integer<std::uint64_t>();
  if (!ef) return std::unexpected(ef.error());
  auto entry = r.integer<std::uint64_t>();
  if (!entry) return std::unexpected(entry.error());
  auto layer_count = r.integer<std::uint32_t>();
  if (!layer_count) return std::unexpected(layer_count.error());
  auto kind = r.integer<std::uint8_t>();
  if (!kind) return std::unexpected(kind.error());
  if (*kind > static_cast<std::uint8_t>(RerankStore::sq8)) return r.refuse("unknown rerank store");
  if (auto b = r.boundedCount(*n, 8, "more vectors than the file can hold"); !b) {
    return std::unexpected(b.error());
  }
  if (*n > 0 && *entry >= *n) return r.refuse("entry point out of range");
  // A graph numbers its nodes with 32 bits (graph.h).
  if (*n >= (std::uint64_t{1} << 32) - 1) return r.refuse("more vectors than a graph can hold");
  auto flag = r.integer<std::uint8_t>();
  if (!flag) return std::unexpected(flag.error());

  IndexParts parts;
  parts.calib_frozen = *flag != 0;
  if (parts.calib_frozen) {
    if (auto s = readValues(r, parts.calib_shift, c_dim); !s) return std::unexpected(s.error());
    if (auto s = readValues(r, parts.calib_scale, c_dim); !s) return std::unexpected(s.error());
  }

  if (r.remaining() < c_rotation_bytes) return r.refuse("the rotation runs past the end");
  auto rows = Buffer<float>::make(c_dim * c_dim);
  if (!rows) return std::unexpected(rows.error());
  if (auto s = r.copyTo(rows->data(), c_rotation_bytes); !s) return std::unexpected(s.error());
  parts.rotation = RandomRotation::adopt(std::move(*rows));
  parts.routing = RoutingGraph::init(static_cast<std::size_t>(*ef));

  if (auto s = readPayloads(r, *n, parts.payloads); !s) return std::unexpected(s.error());
  parts.rerank_store = static_cast<RerankStore>(*kind);
  if (auto s = readStore(r, *n, *kind, parts); !s) return std::unexpected(s.error());

  if (auto s = readGraph(r, *n, *layer_count, parts.routing); !s) {
    return std::unexpected(s.error());
  }
  parts.routing.finishLoad(*entry, static_cast<std::size_t>(*n));
  // The listed checks bound every id; this establishes the rest of the
  // graph's invariants (layer 0 in id order, neighbours within their layer,
  // no repeats, nesting of layers, the entry point on the top layer), which
  // search and insertion rely on to stay inside the arrays.
  if (auto s = parts.routing.checkInvariants(); !s) return r.refuse("the graph breaks an invariant");

  if (auto s = readDeletions(r, *n, parts.tombstones); !s) return std::unexpected(s.error());

  std::vector<Label> labels;
  Buffer<std::uint8_t> label_blob;
  if (auto s = readLabels(r, *n, labels, label_blob); !s) return std::unexpected(s.error());

  // Rebuilds the id map and the live count; refuses two live vectors with
  // one user id.
  auto index = Index::assemble(std::move(parts));
  if (!index) {
    if (index.error() == Error::CorruptIndex) return r.refuse("two live vectors share a user id");
    return std::unexpected(index.error());
  }
  return LoadedIndex{std::move(*index), std::move(labels), std::move(label_blob)};
}

void describeFailure(const Reader& reader, Error error, FailureInfo* why) noexcept {
  if (why == nullptr) return;
  if (reader.failedCheck() == nullptr) {
    why->set(error == Error::OutOfMemory ? "out of memory" : "cannot be read");
  } else if (error == Error::CorruptIndex) {
    why->setAt(reader.failedCheck(), reader.failedAt());
  } else {
    why->set(reader.failedCheck());
  }
}

std::expected<std::optional<Trailer>, Error> findTrailer(std::span<const std::uint8_t> tail,
                                                         std::uint64_t length,
                                                         FailureInfo* why) noexcept {
  if (tail.size() < c_trailer_bytes || length < c_trailer_bytes) return std::nullopt;
  const std::uint8_t* t = tail.data() + tail.size() - c_trailer_bytes;
  if (!std::equal(trailer_magic.begin(), trailer_magic.end(), t)) return std::nullopt;
  const auto covered = loadLe<std::uint64_t>(t + 8);
  if (covered != length - c_trailer_bytes) return std::nullopt;
  if (loadLe<std::uint32_t>(t + 4) != c_trailer_version) {
    if (why != nullptr) why->setAt("unknown checksum version", covered + 4);
    return std::unexpected(Error::CorruptIndex);
  }
  return Trailer{covered, loadLe<std::uint64_t>(t + 16)};
}

std::expected<LoadedIndex, Error> deserialize(std::span<const std::uint8_t> bytes,
                                              FailureInfo* why) noexcept {
  auto trailer = findTrailer(bytes, bytes.size(), why);
  if (!trailer) return std::unexpected(trailer.error());
  std::span<const std::uint8_t> image = bytes;
  if (*trailer) {
    image = bytes.first(static_cast<std::size_t>((*trailer)->covered));
    if (Checksum::of(image) != (*trailer)->checksum) {
      if (why != nullptr) why->setAt("checksum mismatch", image.size());
      return std::unexpected(Error::CorruptIndex);
    }
  }
  Reader r(image);
  auto loaded = readImage(r);
  if (!loaded) {
    describeFailure(r, loaded.error(), why);
    return loaded;
  }
  loaded->checksum_verified = trailer->has_value();
  return loaded;
}

}  // namespace korvane
