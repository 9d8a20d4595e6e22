#include "run/schedule.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace korvo {

namespace {

// korvo_dat records formed between two looks at whether amp_dat is written.
constexpr Integer HELD_AT_A_TIME = 256;

// A task run beside this thread: by the run's helper when there is one, else
// on a thread of its own, else here when no thread can be started. finish()
// waits for it and passes on what it threw; leaving the scope by an
// exception waits too, quietly.
class Beside {
 public:
  template <class Task>
  Beside(Helper* helper, Task task) : helper_(helper) {
    if (helper_) {
      helper_->give([this, task] { run(task); });
      return;
    }
    try {
      thread_ = thread_beside([this, task] { run(task); });
    } catch (const std::system_error&) {
      run(task);
    }
  }
  ~Beside() { wait(); }
  bool beside() const { return helper_ != nullptr || thread_.joinable(); }
  // Whether the task has ended (what it threw is still to be passed on).
  bool finished() const { return done_.load(std::memory_order_acquire); }
  void finish() {
    wait();
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }

 private:
  template <class Task>
  void run(Task& task) {
    try {
      task();
    } catch (...) {
      error_ = std::current_exception();
    }
    done_.store(true, std::memory_order_release);
  }
  void wait() {
    if (helper_) std::exchange(helper_, nullptr)->wait();
    if (thread_.joinable()) thread_.join();
  }
  Helper* helper_;
  std::thread thread_;
  std::exception_ptr error_;
  std::atomic<bool> done_{false};
};

}  // namespace

bool Schedule::overlap_from_environment() {
  const char* v = std::getenv("KORVO_THREADS");
  if (v == nullptr || *v == '\0') return second_thread_runs();
  const std::string s(v);
  if (s == "1") return false;
  if (s == "2") return true;
  throw Error("KORVO_THREADS=" + s.substr(0, 40) +
              ": 1 (every stage on one thread) or 2 (stages overlapped on two cores)");
}

Schedule::Schedule(bool overlap, bool console)
    : overlap_(overlap),
      console_(console),
      helper_(overlap && console ? Helper::start() : nullptr) {}

LinePlan Schedule::lines() const {
  LinePlan plan(overlap_);
  plan.helper = helper_.get();
  return plan;
}

void Schedule::map_in_record(Workspace& w) const {
  if (!console_) return;
  prefault(w.T, sizeof w.T);
  prefault(w.A, sizeof w.A);
}

void Schedule::map_in(Workspace& w, const Grid& g) const {
  if (!console_) return;
  const auto lines = static_cast<std::size_t>(g.NF);
  prefault(w.B, lines * sizeof(Real));
  prefault(w.X, lines * sizeof(Complex));
  prefault(w.Y, lines * sizeof(Complex));
  // NOM itself is set with the frequency grid, after the forward transform.
  const auto NOM = static_cast<std::size_t>(g.NF / 2 + 1);
  prefault(w.AMP, NOM * sizeof(Complex));
  prefault(w.AMP + AMP_STRIDE, NOM * sizeof(Complex));
}

void amplify_stage(const Schedule& s, Workspace& w, Integer IAMP, const Grid& g, const Profile& p,
                   const char* transfer_path) {
  check_reference(IAMP, "IAMP");
  if (transfer_path == nullptr)
    return amplify(w.X, w.A, w.B, w.AMP, IAMP, g, p, LinePlan(s.overlapping()));
  // The file is left as far as the lines the amplification got through.
  Integer last = g.NOM;
  std::exception_ptr fault;
  if (!s.overlapping()) {
    try {
      amplify(w.X, w.A, w.B, w.AMP, IAMP, g, p, LinePlan(false));
    } catch (const LineFault& f) {
      last = f.line;
      fault = std::current_exception();
    }
    write_transfer_file(transfer_path, w.AMP, g, last);
    if (fault) std::rethrow_exception(fault);
    return;
  }
  // S_amp1 is written on another core to NOM while the amplification keeps to
  // this one; when the amplification stops short (a fault), the file is
  // written again to there, which also reports what the first writing met.
  {
    Beside samp(s.helper(), [&] { write_transfer_file(transfer_path, w.AMP, g, g.NOM); });
    try {
      amplify(w.X, w.A, w.B, w.AMP, IAMP, g, p, LinePlan(!samp.beside()));
    } catch (const LineFault& f) {
      last = f.line;
      fault = std::current_exception();
    }
    if (last == g.NOM) samp.finish();
  }
  if (last < g.NOM) write_transfer_file(transfer_path, w.AMP, g, last);
  if (fault) std::rethrow_exception(fault);
}

Held inverse_stage(const Schedule& s, Workspace& w, const Grid& g, const char* spectrum_path,
                   Sink* history, const char* history_path) {
  Held held;
  if (spectrum_path == nullptr) {
    inverse_transform(w, g);
    return held;
  }
  if (!s.overlapping()) {
    write_spectrum_file(spectrum_path, w.X, g);
    inverse_transform(w, g);
    return held;
  }
  // amp_dat is written beside while the spectrum is transformed back. Until
  // amp_dat is whole, korvo_dat's first records are formed here and held (a
  // run that fails in amp_dat leaves no korvo_dat).
  std::exception_ptr fault;
  {
    Beside amp(s.helper(), [&] { write_spectrum_file(spectrum_path, w.X, g); });
    try {
      inverse_transform(w, g);
    } catch (const Error&) {
      fault = std::current_exception();
    }
    if (!fault && history_path != nullptr && !amp.finished()) {
      try {
        hold_output(*history, history_path, static_cast<std::size_t>(g.NT) * HISTORY_RECORD);
        for (Integer& I = held.next; I <= g.NT && !amp.finished(); I += HELD_AT_A_TIME)
          write_history(*history, w.T, w.A, I, std::min(I + HELD_AT_A_TIME - 1, g.NT));
      } catch (const Error&) {
        held.unformed = std::current_exception();
      }
    }
    amp.finish();
  }
  if (fault) std::rethrow_exception(fault);
  return held;
}

}  // namespace korvo
