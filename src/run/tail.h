// The last part of a long record file, read by a helper beside the reading of
// the rest. Whatever the file holds, the record read is the plain reading's:
// the tail is used only when it begins exactly where the reading arrives and
// every one of its lines is a plain pair.
#pragma once

#include <atomic>
#include <memory>

#include "korvo.h"
#include "machine/machine.h"

namespace korvo {

class TailReading {
 public:
  // The tail of the open file fd, `size` bytes, read on `helper` when there is
  // one and the file is long enough to gain by it; else nothing is read.
  TailReading(Helper* helper, int fd, long size);
  // Waits for the helper: the file must stay open until then.
  ~TailReading();
  TailReading(const TailReading&) = delete;
  TailReading& operator=(const TailReading&) = delete;

  // Told, after each pair, the offset the reading has got to: true when the
  // tail's pairs are the rest of the record and follow at once.
  bool taken_at(long offset);
  Integer pairs() const { return pairs_; }
  Real time(Integer k) const { return ta_[2 * static_cast<std::size_t>(k)]; }
  Real accel(Integer k) const { return ta_[2 * static_cast<std::size_t>(k) + 1]; }

 private:
  static constexpr long UNDECIDED = -1, NONE = -2;
  void read(int fd, long size);
  Helper* helper_;
  bool watching_;
  std::atomic<long> reached_{0};        // where the reading has got
  std::atomic<long> start_{UNDECIDED};  // the offset of the tail's first line
  bool plain_ = false;
  Integer pairs_ = 0;
  std::unique_ptr<Real[]> ta_;  // time, acceleration, time, ...
};

}  // namespace korvo
