// Backing for the graph's large per-node arrays (codes, layer-0 adjacency, node metadata): asks
// the kernel for transparent huge pages where it offers them on request. A walk over a large
// index reads rows at random; with 4 KiB pages nearly every row costs a page-table walk too,
// with 2 MiB pages one TLB entry covers thousands of rows. Contents and capacities behave as
// plain std::vector operations; only where the memory comes from differs.
#pragma once

#include <cstddef>
#include <vector>

namespace tarnwell_core {

namespace huge_pages_detail {

// Arrays smaller than this stay on ordinary pages: huge pages would round them up.
inline constexpr size_t kMinBytes = size_t{4} << 20;

// Advises huge pages for the whole pages inside [p, p + bytes). Best effort: never fails.
void advise_huge_pages(void* p, size_t bytes);

}  // namespace huge_pages_detail

// As v.reserve(capacity), except that a large new buffer is advised before the elements are
// copied in, so that the copy already faults in huge pages. Only the allocation may throw;
// `v` is then unchanged.
template <class T>
void reserve_on_huge_pages(std::vector<T>& v, size_t capacity) {
  if (capacity <= v.capacity()) return;
  if (capacity * sizeof(T) < huge_pages_detail::kMinBytes) {
    v.reserve(capacity);
    return;
  }
  std::vector<T> fresh;
  fresh.reserve(capacity);
  huge_pages_detail::advise_huge_pages(fresh.data(), capacity * sizeof(T));
  fresh.insert(fresh.end(), v.begin(), v.end());
  v.swap(fresh);
}

// Moves a large, already filled array (one decoded from a file) onto a freshly advised buffer
// of the same size. Only the allocation may throw; `v` is then unchanged.
template <class T>
void move_to_huge_pages(std::vector<T>& v) {
  if (v.size() * sizeof(T) < huge_pages_detail::kMinBytes) return;
  std::vector<T> fresh;
  fresh.reserve(v.size());
  huge_pages_detail::advise_huge_pages(fresh.data(), v.size() * sizeof(T));
  fresh.insert(fresh.end(), v.begin(), v.end());
  v.swap(fresh);
}

}  // namespace tarnwell_core
