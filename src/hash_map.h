// hash_map: an open-addressing hash map from u64 keys to small trivially
// copyable values, with linear probing and a maximum load of 80 percent.
//
// Every u64 is a valid key (occupancy is kept beside the keys). Growth is
// the only operation that allocates: callers that must not fail halfway
// reserve room first (`reserve`) and then use `insertReserved`, which cannot
// fail. Deletion shifts later entries of the probe run back, so lookups never
// meet tombstones.
//
// Thread safety: const operations may run concurrently; anything else needs
// exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "alloc.h"

namespace korvane {

template <class V>
class HashMap {
  static_assert(std::is_trivially_copyable_v<V>);

 public:
  HashMap() = default;
  HashMap(const HashMap&) = delete;
  HashMap& operator=(const HashMap&) = delete;
  HashMap(HashMap&&) noexcept = default;
  HashMap& operator=(HashMap&&) noexcept = default;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Makes room for `n` entries in total, so that inserting up to n − size()
  // new keys cannot allocate. OutOfMemory leaves the map unchanged.
  [[nodiscard]] Status reserve(std::size_t n) noexcept {
    if (n <= maxEntries(slots_.size())) return ok();
    std::size_t cap = slots_.empty() ? 8 : slots_.size();
    while (maxEntries(cap) < n) {
      if (cap > (SIZE_MAX >> 2) / sizeof(Slot)) return std::unexpected(Error::OutOfMemory);
      cap *= 2;
    }
    std::vector<Slot> grown;
    if (auto s = tryResize(grown, cap); !s) return s;
    for (const Slot& s : slots_) {
      if (s.used) placeInto(grown, s.key, s.value);
    }
    slots_.swap(grown);
    return ok();
  }

  // The value stored for `key`, or null.
  const V* find(std::uint64_t key) const noexcept {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (!s.used) return nullptr;
      if (s.key == key) return &s.value;
    }
  }
  bool contains(std::uint64_t key) const noexcept { return find(key) != nullptr; }

  // Inserts or overwrites. Precondition: room was reserved for one more
  // entry when `key` is new.
  void insertReserved(std::uint64_t key, V value) noexcept {
    Slot& s = probe(slots_, key);
    if (!s.used) {
      s.used = true;
      s.key = key;
      ++size_;
    }
    s.value = value;
  }

  // Inserts or overwrites, growing when needed.
  [[nodiscard]] Status insert(std::uint64_t key, V value) noexcept {
    if (auto s = reserve(size_ + 1); !s) return s;
    insertReserved(key, value);
    return ok();
  }

  // Removes `key`; false when it was absent.
  bool erase(std::uint64_t key) noexcept {
    if (slots_.empty()) return false;
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash(key) & mask;
    for (;; i = (i + 1) & mask) {
      if (!slots_[i].used) return false;
      if (slots_[i].key == key) break;
    }
    // Backward-shift deletion: move each later entry of the run into the
    // hole when its home position does not lie cyclically in (hole, j].
    std::size_t hole = i;
    for (std::size_t j = (i + 1) & mask; slots_[j].used; j = (j + 1) & mask) {
      const std::size_t home = hash(slots_[j].key) & mask;
      const bool stays = hole <= j ? (hole < home && home <= j)
                                   : (hole < home || home <= j);
      if (!stays) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole].used = false;
    --size_;
    return true;
  }

  // Bytes of the slot array.
  std::size_t memoryBytes() const noexcept { return slots_.capacity() * sizeof(Slot); }

  // Calls f(key, value) for every entry, in slot order.
  template <class F>
  void forEach(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.used) f(s.key, s.value);
    }
  }

  void clear() noexcept {
    slots_.clear();
    slots_.shrink_to_fit();
    size_ = 0;
  }

 private:
  struct Slot {
    std::uint64_t key;
    V value;
    bool used;
  };

  static constexpr std::size_t maxEntries(std::size_t cap) noexcept {
    return cap / 5 * 4 + (cap % 5) * 4 / 5;
  }

  // SplitMix64's finaliser: consecutive ids spread over the whole table.
  static std::size_t hash(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return static_cast<std::size_t>(x);
  }

  static Slot& probe(std::vector<Slot>& slots, std::uint64_t key) noexcept {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = hash(key) & mask;
    while (slots[i].used && slots[i].key != key) i = (i + 1) & mask;
    return slots[i];
  }

  static void placeInto(std::vector<Slot>& slots, std::uint64_t key, V value) noexcept {
    Slot& s = probe(slots, key);
    s.used = true;
    s.key = key;
    s.value = value;
  }

  std::vector<Slot> slots_;  // power-of-two length, or empty
  std::size_t size_ = 0;
};

}  // namespace korvane
