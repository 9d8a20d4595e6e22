// What a run asks of the operating system beyond plain threads and files:
// memory mapped in ahead, and helper threads placed on a free core.
#pragma once

#include <cstddef>
#include <thread>
#include <utility>

namespace korvo {

// Maps in the pages under [p, p + bytes) with one system call, rather than
// one page fault at a time as they are first written: on a virtual machine a
// fault costs about 15 us and a page mapped in ahead about 1. Only a hint:
// where the system has no such call or declines, nothing happens.
void prefault(void* p, std::size_t bytes);

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

}  // namespace korvo
