#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "run/run.h"
#include "simd/machine.h"

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

// The time history from the processed spectrum, which stays in X: Y holds
// the whole Hermitian spectrum and is transformed back in place.
void inverse(Workspace& w, const Grid& g) {
  for (Integer i = 1; i <= g.NOM; ++i) w.Y[i - 1] = w.X[i - 1];
  complete_hermitian(w.Y, g.NF);
  fp_stage([&] { fft(g.NF, w.Y, +1); }, [] { return "in the inverse transform"; });
  fp_stage([&] { time_history(w.Y, w.T, w.A, g); },
           [] { return "in the output time axis and history"; });
}

// The parts of the arrays a run of this grid fills, mapped in at once (a
// fresh process would otherwise fault them in a page at a time).
void map_in(Workspace& w, const Grid& g) {
  const auto lines = static_cast<std::size_t>(g.NF);
  prefault(w.B, lines * sizeof(Real));
  prefault(w.X, lines * sizeof(Complex));
  prefault(w.Y, lines * sizeof(Complex));
  // NOM itself is set with the frequency grid, after the forward transform.
  const auto NOM = static_cast<std::size_t>(g.NF / 2 + 1);
  prefault(w.AMP, NOM * sizeof(Complex));
  prefault(w.AMP + AMP_STRIDE, NOM * sizeof(Complex));
}

}  // namespace

void run(Console& con, Workspace& w) {
  // Started now, so that its core is awake by the time there is work for it.
  const std::unique_ptr<Helper> helper = Helper::start();
  Grid g;
  prefault(w.T, sizeof w.T);
  prefault(w.A, sizeof w.A);
  read_record(con, w.T, w.A, g, helper.get());
  if (!transform_length(g)) {
    write_list(con.out, {" NT>2**15 !!!!!"});
    write_stop(con.out);
    return;
  }
  map_in(w, g);
  write_list(con.out);
  write_list(con.out, {" IF1,NF=", g.IF1, g.NF});

  for (Integer i = 1; i <= g.NF; ++i) w.X[i - 1] = {i <= g.NT ? w.A[i - 1] : 0.0f, 0.0f};
  fp_stage([&] { fft(g.NF, w.X, -1); }, [] { return "in the forward transform of the record"; });
  frequency_grid(g);
  write_list(con.out);
  write_list(con.out, {" DUR,DOM,NOM,EOM=", g.DUR, g.DOM, g.NOM, g.EOM});
  write_list(con.out, {" Highest Frequency (hz)=", wide(g.EOM) / TWOPI_D});
  fp_stage([&] { scale(w.X, g.NF, g.DT); }, [] { return "in the scaling of the spectrum by DT"; });

  const Profile p = read_soil_profile(con);
  detail::LinePlan plan;
  plan.helper = helper.get();
  detail::site_transfer(ask_wave_type(con), g, p, w.AMP, plan);

  const Integer IAMP = ask_reference(con);

  // S_amp1 is written on another core during the amplification, which keeps
  // to this one. It is left
  // as far as the lines the amplification got through: when that is short of
  // NOM (a fault), it is written again to there, which also reports what the
  // first writing met on the way.
  Integer last = g.NOM;
  std::exception_ptr fault;
  {
    Beside samp(helper.get(), [&] { write_transfer_file("S_amp1", w.AMP, g, g.NOM); });
    try {
      detail::amplify(w.X, w.A, w.B, w.AMP, IAMP, g, p, detail::LinePlan(!samp.beside()));
    } catch (const LineFault& f) {
      last = f.line;
      fault = std::current_exception();
    }
    if (last == g.NOM) samp.finish();
  }
  if (last < g.NOM) write_transfer_file("S_amp1", w.AMP, g, last);
  if (fault) std::rethrow_exception(fault);

  condition(w.X, w.A, w.B, g, ask_conditioning(con, g));
  write_list(con.out);
  write_list(con.out, {"The Fourier Spectrum data are stored in \"amp_dat\""});

  // amp_dat is written beside while the spectrum is transformed back. Until
  // amp_dat is whole, korvo_dat's first records are formed here and held (a
  // run that fails in amp_dat leaves no korvo_dat); the rest go straight to
  // the file. What amp_dat met is reported before a fault of the transform.
  Sink history;
  Integer I = 1;
  std::exception_ptr unformed;  // reported once the records before it are in korvo_dat
  {
    Beside amp(helper.get(), [&] { write_spectrum_file("amp_dat", w.X, g); });
    try {
      inverse(w, g);
    } catch (const Error&) {
      fault = std::current_exception();
    }
    if (!fault && !amp.finished()) {
      try {
        hold_output(history, "korvo_dat", static_cast<std::size_t>(g.NT) * HISTORY_RECORD);
        for (; I <= g.NT && !amp.finished(); I += HELD_AT_A_TIME)
          write_history(history, w.T, w.A, I, std::min(I + HELD_AT_A_TIME - 1, g.NT));
      } catch (const Error&) {
        unformed = std::current_exception();
      }
    }
    amp.finish();
  }
  if (fault) std::rethrow_exception(fault);

  write_summary(con.out, w.A, g);
  write_list(con.out);
  write_list(con.out, {"Output data are stored in \"korvo_dat\""});
  write_list(con.out);
  create_output(history, "korvo_dat");
  if (unformed) std::rethrow_exception(unformed);
  write_history(history, w.T, w.A, I, g.NT);
  close_output(history);
  write_stop(con.out);
}

bool compute(Workspace& w, Grid& g, const Profile& p, const Answers& a, bool share_lines) {
  if (!transform_length(g)) return false;
  for (Integer i = 1; i <= g.NF; ++i) w.X[i - 1] = {i <= g.NT ? w.A[i - 1] : 0.0f, 0.0f};
  fp_stage([&] { fft(g.NF, w.X, -1); }, [] { return "in the forward transform of the record"; });
  frequency_grid(g);
  fp_stage([&] { scale(w.X, g.NF, g.DT); }, [] { return "in the scaling of the spectrum by DT"; });
  const detail::LinePlan plan(share_lines);
  detail::site_transfer(a.IWAVE, g, p, w.AMP, plan);
  detail::amplify(w.X, w.A, w.B, w.AMP, a.IAMP, g, p, plan);
  condition(w.X, w.A, w.B, g, a.c);
  inverse(w, g);
  return true;
}

}  // namespace korvo
