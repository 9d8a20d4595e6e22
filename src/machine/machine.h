// What a run asks of the operating system beyond plain threads and files:
// memory mapped in ahead, and helper threads placed on a free core.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

namespace korvo {

// Maps in the pages under [p, p + bytes) with one system call, rather than
// one page fault at a time as they are first written: on a virtual machine a
// fault costs about 15 us and a page mapped in ahead about 1. Only a hint:
// where the system has no such call or declines, nothing happens.
void prefault(void* p, std::size_t bytes);

// Whether a second thread may run beside the caller: two cores or more to
// run on.
bool second_thread_runs();

// Takes the advisory lock of the folder `dir` for this process, held until
// it exits (flock on the folder itself, so that nothing is left in it).
// False when another process holds it: two runs writing the same result
// files would splice them. True when the folder cannot be opened or locked
// at all (a file system without locks): the run meets its own refusals.
bool lock_folder(const char* dir);

// The core the calling thread runs on (-1 when unknown).
int current_core();
// Moves the calling thread off core `home` when it may run elsewhere, then
// lets it run on all its cores again. A newly started thread tends to be put
// on the core of the thread that started it and moved only milliseconds
// later: for a share of a computation that lasts a few milliseconds, that
// is the two shares one after the other on one core.
void leave_core(int home);

// A thread for a share of a computation, started away from the caller's core.
template <class Task>
std::thread thread_beside(Task task) {
  const int home = current_core();
  return std::thread([home, task = std::move(task)]() mutable {
    leave_core(home);
    task();
  });
}

// A thread started ahead of the work it will be given, on another core, that
// keeps its core awake while it waits: on a virtual machine a core left idle
// takes milliseconds to start a new thread, longer than a run's stages. It
// waits busily for at most KEEP_AWAKE after being started or after its last
// task, then sleeps until the next. One task at a time.
class Helper {
 public:
  static constexpr auto KEEP_AWAKE = std::chrono::milliseconds(20);

  // Null where waiting busily would take a core from the caller (fewer than
  // two cores to run on) or no thread can be started.
  static std::unique_ptr<Helper> start();
  ~Helper();  // waits for the task in hand
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // Hands over a task; the helper must have finished the last one (wait()).
  // The task must not throw: what it meets it keeps for the giver to find.
  void give(std::function<void()> task);
  // Until the task handed over has ended.
  void wait();

 private:
  Helper() = default;
  void serve();
  std::function<void()> task_;
  std::atomic<unsigned> given_{0};  // tasks handed over, and 1 << 31 when ending
  std::atomic<unsigned> done_{0};   // tasks ended
  std::atomic<int> home_{-1};       // the core of the thread that gives the tasks
  std::thread thread_;
};

}  // namespace korvo
