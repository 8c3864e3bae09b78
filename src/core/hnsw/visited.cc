// The per-thread visited sets. Each thread gets its own on first use; they are dropped when
// the thread ends.
#include "core/hnsw/visited.h"

namespace tarnwell_core {
namespace {

thread_local ThreadVisited SEARCH_VISITED;
thread_local ThreadVisited INSERT_VISITED;

}  // namespace

ThreadVisited& search_visited() { return SEARCH_VISITED; }
ThreadVisited& insert_visited() { return INSERT_VISITED; }

}  // namespace tarnwell_core
