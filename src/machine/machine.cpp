#include "machine/machine.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <system_error>

#if defined(__linux__)
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
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

namespace {

int allowed_cores() {
#if defined(__linux__)
  cpu_set_t mine;
  if (sched_getaffinity(0, sizeof mine, &mine) == 0) return CPU_COUNT(&mine);
#endif
  return static_cast<int>(std::thread::hardware_concurrency());
}

bool two_cores() { return allowed_cores() >= 2; }

}  // namespace

bool second_thread_runs() {
  // Not judged from the threads running at start: measured here, that count
  // still held the program that started this one (a shell or Python back
  // from its fork) for hundreds of microseconds in most runs, and a run
  // kept to one thread took twice as long. KORVO_THREADS=1 is the choice
  // for a machine whose other cores are known to be busy.
  return allowed_cores() >= 2;
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

namespace {

constexpr unsigned ENDING = 1u << 31;

// One turn of a busy wait, kind to a core shared with another thread.
inline void pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Until `a` differs from `seen`: busily until `until`, then asleep. `home`:
// the core of the thread to keep clear of, or -1.
unsigned wait_while(const std::atomic<unsigned>& a, unsigned seen,
                    std::chrono::steady_clock::time_point until, int home = -1) {
  for (unsigned turns = 0;; ++turns) {
    const unsigned now = a.load(std::memory_order_acquire);
    if (now != seen) return now;
    if (turns % 256 == 255) {
      if (std::chrono::steady_clock::now() > until) break;
      // Should the system have put the other thread on this core, it gets
      // the core at once, and the wait moves to another.
      std::this_thread::yield();
      if (home >= 0 && current_core() == home) leave_core(home);
    }
    pause();
  }
  a.wait(seen, std::memory_order_acquire);
  return a.load(std::memory_order_acquire);
}

}  // namespace

std::unique_ptr<Helper> Helper::start() {
  if (!two_cores()) return nullptr;
  std::unique_ptr<Helper> h(new Helper);
  try {
    h->home_.store(current_core(), std::memory_order_relaxed);
    h->thread_ = thread_beside([p = h.get()] { p->serve(); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return h;
}

void Helper::serve() {
  unsigned seen = 0;
  for (;;) {
    seen = wait_while(given_, seen, std::chrono::steady_clock::now() + KEEP_AWAKE,
                      home_.load(std::memory_order_relaxed));
    if (seen & ENDING) return;
    // A task shares out work with the thread that gave it: not on its core.
    const int home = home_.load(std::memory_order_relaxed);
    if (home >= 0 && current_core() == home) leave_core(home);
    task_();
    task_ = nullptr;
    done_.store(seen, std::memory_order_release);
    done_.notify_one();
  }
}

void Helper::give(std::function<void()> task) {
  home_.store(current_core(), std::memory_order_relaxed);
  task_ = std::move(task);
  given_.fetch_add(1, std::memory_order_release);
  given_.notify_one();
}

void Helper::wait() {
  const unsigned want = given_.load(std::memory_order_relaxed);
  unsigned d = done_.load(std::memory_order_acquire);
  // The task is mostly nearly done by now: wait busily a little, then sleep.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
  while (d != want) d = wait_while(done_, d, until);
}

Helper::~Helper() {
  wait();
  given_.fetch_or(ENDING, std::memory_order_release);
  given_.notify_one();
  thread_.join();
}

bool lock_folder(const char* dir) {
#if defined(__linux__)
  const int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;  // fd stays open: the lock with it
  const bool busy = errno == EWOULDBLOCK;
  ::close(fd);
  return !busy;
#else
  (void)dir;
  return true;
#endif
}

}  // namespace korvo
