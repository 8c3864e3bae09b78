// A set of internal ids as one bit per id below a fixed bound: O(1) membership for the graph
// walk and the keyword scorer, word-at-a-time intersection and difference for filters, and an
// exact count. Ids at or above the bound are never members.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwell_core {

class IdBitset {
 public:
  IdBitset() = default;
  // The empty set over ids below `bound`.
  explicit IdBitset(size_t bound) : words_((bound + 63) / 64, 0), bound_(bound) {}

  size_t bound() const { return bound_; }

  bool test(uint32_t id) const {
    return id < bound_ && ((words_[id >> 6] >> (id & 63)) & 1) != 0;
  }
  // `id` must be below the bound.
  void set(uint32_t id) { words_[id >> 6] |= uint64_t{1} << (id & 63); }
  // Every id must be below the bound.
  void set_all(const std::vector<uint32_t>& ids) {
    uint64_t* w = words_.data();
    for (uint32_t id : ids) w[id >> 6] |= uint64_t{1} << (id & 63);
  }
  void reset(uint32_t id) { words_[id >> 6] &= ~(uint64_t{1} << (id & 63)); }

  // Makes room for ids below `bound` (never shrinks); new ids are not members.
  void grow(size_t bound) {
    if (bound <= bound_) return;
    words_.resize((bound + 63) / 64, 0);
    bound_ = bound;
  }

  // this = this ∪ other (other's bound must not exceed this one's), this = this ∩ other,
  // this = this \ other (ids beyond other's bound count as absent there).
  void unite(const IdBitset& other) {
    const size_t common = std::min(words_.size(), other.words_.size());
    for (size_t i = 0; i < common; ++i) words_[i] |= other.words_[i];
  }
  void intersect(const IdBitset& other) {
    const size_t common = std::min(words_.size(), other.words_.size());
    for (size_t i = 0; i < common; ++i) words_[i] &= other.words_[i];
    std::fill(words_.begin() + static_cast<ptrdiff_t>(common), words_.end(), uint64_t{0});
  }
  void subtract(const IdBitset& other) {
    const size_t common = std::min(words_.size(), other.words_.size());
    for (size_t i = 0; i < common; ++i) words_[i] &= ~other.words_[i];
  }
  // this = other restricted to this set's bound.
  void assign_from(const IdBitset& other) {
    const size_t common = std::min(words_.size(), other.words_.size());
    std::copy_n(other.words_.begin(), common, words_.begin());
    std::fill(words_.begin() + static_cast<ptrdiff_t>(common), words_.end(), uint64_t{0});
    trim();
  }

  size_t count() const {
    size_t n = 0;
    for (uint64_t w : words_) n += static_cast<size_t>(std::popcount(w));
    return n;
  }

  // Calls fn(id) for every member, ascending.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (size_t i = 0; i < words_.size(); ++i) {
      for (uint64_t w = words_[i]; w != 0; w &= w - 1) {
        fn(static_cast<uint32_t>(i * 64 + static_cast<size_t>(std::countr_zero(w))));
      }
    }
  }

  size_t memory_bytes() const { return words_.capacity() * sizeof(uint64_t); }

 private:
  // Clears the bits of the last word that lie at or above the bound.
  void trim() {
    if (bound_ % 64 != 0 && !words_.empty()) words_.back() &= (uint64_t{1} << (bound_ % 64)) - 1;
  }

  std::vector<uint64_t> words_;
  size_t bound_ = 0;
};

}  // namespace tarnwell_core
