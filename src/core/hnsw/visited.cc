// The per-thread visited sets. Each thread gets its own on first use; they are dropped when
// the thread ends.
#include "core/hnsw/visited.h"
#include "core/util/per_thread.h"

namespace tarnwell_core {
namespace {

PerThread<ThreadVisited> SEARCH_VISITED;
PerThread<ThreadVisited> INSERT_VISITED;

}  // namespace

ThreadVisited& search_visited() { return SEARCH_VISITED.get(); }
ThreadVisited& insert_visited() { return INSERT_VISITED.get(); }

}  // namespace tarnwell_core
