// Room-making for std::unordered_map ahead of inserts that must not allocate. reserve() alone
// may shrink the bucket array (a full rehash) when it is larger than the count asks for, which
// on every insert would cost time linear in the map.
#pragma once

#include <cstddef>

namespace tarnwell_core {

// Makes sure `extra` more elements fit without a rehash.
template <class Map>
void reserve_room(Map& map, size_t extra) {
  const double fits = static_cast<double>(map.bucket_count()) * map.max_load_factor();
  // Kept strictly below the threshold: inserting up to it would still rehash.
  if (static_cast<double>(map.size() + extra) >= fits) map.reserve(map.size() + extra + 1);
}

}  // namespace tarnwell_core
