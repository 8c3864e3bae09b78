// The one system call behind huge_pages.h, kept out of the header.
#include "core/hnsw/huge_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace tarnwell_core::huge_pages_detail {

void advise_huge_pages(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(page - 1);
  // Refused (no transparent huge pages, or disabled): the memory stays on ordinary pages.
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace tarnwell_core::huge_pages_detail
