// Generation-stamped visited marks (two bytes per node, cleared only once every 65535 searches)
// and the two per-thread sets, SEARCH_VISITED and INSERT_VISITED, each with scratch buffers
// reused by the beam search. A set is held exclusively through VisitedHold; taking a set the
// same thread already holds is a bug and asserts.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwell_core {

class VisitedSet {
 public:
  // Starts a new search: a node counts as visited only when marked since this call.
  void next_generation() {
    if (generation_ == 0xFFFF) {
      std::fill(marks_.begin(), marks_.end(), uint16_t{0});
      generation_ = 1;
    } else {
      ++generation_;
    }
  }

  // Makes room for ids below `node_count`; new entries are unvisited. Never shrinks.
  void grow(size_t node_count) {
    if (marks_.size() < node_count) marks_.resize(node_count, 0);
  }

  bool visited(uint32_t id) const { return marks_[id] == generation_; }

  // Marks `id` and returns whether it already was marked in this generation.
  bool test_and_mark(uint32_t id) {
    uint16_t& m = marks_[id];
    if (m == generation_) return true;
    m = generation_;
    return false;
  }

  const uint16_t* mark_address(uint32_t id) const { return &marks_[id]; }
  size_t size() const { return marks_.size(); }
  uint16_t generation() const { return generation_; }

  // Test hook: jumps to a generation (e.g. just before the wrap) without running searches.
  void set_generation_for_testing(uint16_t g) { generation_ = g; }

 private:
  std::vector<uint16_t> marks_;
  uint16_t generation_ = 0;
};

// Buffers a beam search needs; kept per thread so a search allocates nothing once warm.
struct SearchScratch {
  std::vector<uint64_t> candidates;
  std::vector<uint64_t> results;
  std::vector<uint32_t> fresh;  // unvisited neighbours of the node being expanded
  std::vector<uint32_t> hops;   // neighbours passed through, not scored (restricted search)
};

struct ThreadVisited {
  VisitedSet set;
  SearchScratch scratch;
  bool held = false;
};

// The calling thread's SEARCH_VISITED (used by knn_search and the filtered search) and
// INSERT_VISITED (used only by insert, so an insertion never disturbs a search's set). Reached
// through functions, not an extern thread_local: g++ 12's undefined-behaviour sanitizer
// misreports inlined thread_local wrappers in the search template as null objects.
ThreadVisited& search_visited();
ThreadVisited& insert_visited();

// Exclusive use of one of the thread's visited sets for the lifetime of this object.
class VisitedHold {
 public:
  explicit VisitedHold(ThreadVisited& slot) : slot_(slot) {
    assert(!slot.held && "nested use of a per-thread visited set");
    slot.held = true;
  }
  ~VisitedHold() { slot_.held = false; }
  VisitedHold(const VisitedHold&) = delete;
  VisitedHold& operator=(const VisitedHold&) = delete;

  VisitedSet& set() { return slot_.set; }
  SearchScratch& scratch() { return slot_.scratch; }

 private:
  ThreadVisited& slot_;
};

}  // namespace tarnwell_core
