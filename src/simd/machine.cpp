#include "simd/machine.h"

#include <cstdint>

#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace korvo {

void prefault([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (bytes == 0) return;
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<std::uintptr_t>(p) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes + page - 1) & ~(page - 1);
  // Older kernels answer EINVAL; the pages then fault in as they are used.
  madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#endif
}

int current_core() {
#if defined(__linux__)
  return sched_getcpu();
#else
  return -1;
#endif
}

void leave_core([[maybe_unused]] int home) {
#if defined(__linux__)
  cpu_set_t all;
  if (home < 0 || home >= CPU_SETSIZE || sched_getaffinity(0, sizeof all, &all) != 0) return;
  if (!CPU_ISSET(home, &all) || CPU_COUNT(&all) < 2) return;
  cpu_set_t others = all;
  CPU_CLR(home, &others);
  // Leaving the core moves the thread at once; it then stays where it went
  // unless the system moves it, as it may with any thread.
  if (sched_setaffinity(0, sizeof others, &others) == 0) sched_setaffinity(0, sizeof all, &all);
#endif
}

}  // namespace korvo
