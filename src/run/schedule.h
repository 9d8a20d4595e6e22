// Which thread runs which stage of a run, and what overlaps with what: decided
// here and nowhere else. Switched off, every stage runs on the calling thread
// in the plain order; the files, console lines, results and exit status are
// the same bytes either way.
#pragma once

#include <exception>
#include <memory>

#include "machine/machine.h"
#include "run/run.h"

namespace korvo {

class Schedule {
 public:
  // KORVO_THREADS: "1" runs every stage on the calling thread, "2" overlaps
  // them on a second thread; unset or empty, they overlap when the run may
  // use two cores (second_thread_runs). "1" suits a machine whose other cores
  // are busy: the second thread would take turns with another program there
  // while the stages given to it hold up the run. Anything else is an Error
  // naming the variable.
  static bool overlap_from_environment();

  // `console`: a console run, whose helper thread is started now, so that its
  // core is awake by the time there is work for it, and whose arrays are
  // mapped in ahead.
  Schedule(bool overlap, bool console);

  bool overlapping() const { return overlap_; }
  Helper* helper() const { return helper_.get(); }
  // How the transfer-function lines are shared out.
  LinePlan lines() const;
  // The record's arrays, then the parts of the others a run of this grid
  // fills, mapped in at once (a fresh process would otherwise fault them in a
  // page at a time).
  void map_in_record(Workspace& w) const;
  void map_in(Workspace& w, const Grid& g) const;

 private:
  bool overlap_;
  bool console_;
  std::unique_ptr<Helper> helper_;
};

// The amplification by column IAMP; with a path, S_amp1 written there as far
// as the lines the amplification got through (to NOM unless a line faulted).
// What the file met comes before the amplification's fault.
void amplify_stage(const Schedule& s, Workspace& w, Integer IAMP, const Grid& g, const Profile& p,
                   const char* transfer_path);

// korvo_dat's first records, formed while amp_dat was being written: up to
// (not including) record `next`, in `history`, not yet created as a file.
struct Held {
  Integer next = 1;
  std::exception_ptr unformed;  // what stopped the forming, reported once korvo_dat is created
};

// The time history from the processed spectrum (which stays in X); with a
// path, amp_dat written there, and what it met reported before a fault of the
// transform. history: where korvo_dat's first records (the file at
// history_path) may be held meanwhile.
Held inverse_stage(const Schedule& s, Workspace& w, const Grid& g, const char* spectrum_path,
                   Sink* history, const char* history_path);

}  // namespace korvo
