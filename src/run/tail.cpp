#include "run/tail.h"

#include <unistd.h>

#include "text/text.h"

namespace korvo {

namespace {

// Below this a second reader costs more than it saves; above the other, the
// record is too long to transform anyway (pairs of 32 bytes each).
constexpr long TAIL_FROM = 64 * 1024;
constexpr long TAIL_UP_TO = 32L * NMAX;
// The share of what is left that the tail takes: the helper forms a pair
// about as fast as the reading but starts later.
constexpr double TAIL_SHARE = 0.5;

// The first line beginning at or after `from` (> 0) in an open file; -1
// when there is none in reach.
long line_after(int fd, long from) {
  char window[RECORD_KEEP + 2];
  const ssize_t got = pread(fd, window, sizeof window, from - 1);
  for (ssize_t k = 1; k < got; ++k) {
    const char before = window[k - 1];
    if (before == '\n' || (before == '\r' && window[k] != '\n')) return from - 1 + k;
  }
  return -1;
}

}  // namespace

TailReading::TailReading(Helper* helper, int fd, long size)
    : helper_(size >= TAIL_FROM && size <= TAIL_UP_TO ? helper : nullptr),
      watching_(helper_ != nullptr) {
  if (!helper_) return;
  helper_->give([this, fd, size] {
    try {
      read(fd, size);
    } catch (...) {
      // Out of memory: no tail; the reading goes on alone.
    }
  });
}

TailReading::~TailReading() {
  if (helper_) helper_->wait();
}

bool TailReading::taken_at(long offset) {
  if (!watching_) return false;
  reached_.store(offset, std::memory_order_relaxed);
  const long start = start_.load(std::memory_order_acquire);
  if (start == UNDECIDED || (start >= 0 && offset < start)) return false;
  watching_ = false;
  // Passed (a pair across two lines, say): the tail is set aside.
  if (offset != start) return false;
  helper_->wait();
  helper_ = nullptr;
  return plain_;
}

// From a line ahead of where the reading has got when the helper starts, to
// the end, while every line is a plain pair (a plain number first, one
// separator, a plain number, then anything, as a free-form read takes it)
// and only blank lines end the file.
void TailReading::read(int fd, long size) {
  const long at = reached_.load(std::memory_order_relaxed);
  // A margin, so that the reading has not passed it by the time it is set.
  const auto from = static_cast<long>(static_cast<double>(size - at) * (1.0 - TAIL_SHARE)) + at;
  const long start = size - from < TAIL_FROM / 4 ? -1 : line_after(fd, from);
  if (start < 0) {
    start_.store(NONE, std::memory_order_release);
    return;
  }
  start_.store(start, std::memory_order_release);
  const auto n = static_cast<std::size_t>(size - start);
  const auto text = std::make_unique_for_overwrite<char[]>(n);
  prefault(text.get(), n);
  for (std::size_t got = 0; got < n;) {
    const ssize_t r = pread(fd, text.get() + got, n - got, start + static_cast<long>(got));
    if (r <= 0) return;
    got += static_cast<std::size_t>(r);
  }
  // The shortest line of a pair, "0 0" and its end, is 4 bytes.
  const std::size_t most = n / 4 + 1;
  ta_ = std::make_unique_for_overwrite<Real[]>(2 * most);
  prefault(ta_.get(), 2 * most * sizeof(Real));
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const char* p = text.get();
  const char* const e = p + n;
  Integer k = 0;
  while (p < e) {
    const char* end = p;
    while (end < e && *end != '\n' && *end != '\r') ++end;
    if (end - p >= RECORD_KEEP) return;
    const char* q = p;
    while (q < end && blank(*q)) ++q;
    if (q == end) {
      for (; q < e; ++q)
        if (!blank(*q) && *q != '\n' && *q != '\r') return;
      break;
    }
    Real t, a;
    if ((q = plain_number(q, end, false, t)) == nullptr) return;
    while (q < end && blank(*q)) ++q;
    if (q < end && *q == ',') ++q;
    while (q < end && blank(*q)) ++q;
    if (q == end || (q = plain_number(q, end, false, a)) == nullptr) return;
    ta_[2 * static_cast<std::size_t>(k)] = t;
    ta_[2 * static_cast<std::size_t>(k) + 1] = a;
    ++k;
    // A line ends at CR LF, LF or CR.
    p = end;
    if (p < e) p += (*p == '\r' && p + 1 < e && p[1] == '\n') ? 2 : 1;
  }
  pairs_ = k;
  plain_ = true;
}

}  // namespace korvo
