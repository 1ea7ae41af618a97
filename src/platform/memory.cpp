#include "platform/memory.h"

#include <cerrno>
#include <cstdint>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace mervik::platform {

#ifdef __linux__

// Linux 5.14 and later; older kernels refuse it with EINVAL.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

void prepare_for_writing(void* data, std::size_t size) noexcept {
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  if (page == 0 || (page & (page - 1)) != 0) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t last = (begin + size) & ~(page - 1);
  if (first >= last) return;
  const int saved = errno;
  madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
  errno = saved;
}

#else

void prepare_for_writing(void*, std::size_t) noexcept {}

#endif

}  // namespace mervik::platform
