// What the fuzz targets share: a private working folder, quiet console
// streams, and answers given from memory.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/run.h"

namespace fuzz {

// Moves into a new folder under TMPDIR (or /tmp), where the run's files are
// written, and sends the console to /dev/null.
inline void enter_scratch() {
  const char* tmp = std::getenv("TMPDIR");
  static char dir[512];
  std::snprintf(dir, sizeof dir, "%s/korvo-fuzz-XXXXXX", tmp != nullptr ? tmp : "/tmp");
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

inline void spit(const char* name, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(name, "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

inline void spit(const char* name, const char* text) {
  spit(name, reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
}

// A console whose answers are read from a fixed text, as if typed, and whose
// output goes to the (silenced) standard output.
struct Answers {
  korvo::Console con;
  explicit Answers(const char* text) {
    con.answers = fmemopen(const_cast<char*>(text), std::strlen(text), "r");
    if (con.answers == nullptr) std::abort();
  }
  ~Answers() { std::fclose(con.answers); }
};

// True when the data could name a device or a process file: the console
// target must not open a terminal or wait on a pipe.
inline bool names_device(const std::uint8_t* data, std::size_t size) {
  static const char* const roots[] = {"dev/", "proc/", "sys/", "run/"};
  for (const char* r : roots) {
    const std::size_t n = std::strlen(r);
    for (std::size_t i = 0; i + n <= size; ++i)
      if (std::memcmp(data + i, r, n) == 0) return true;
  }
  return false;
}

}  // namespace fuzz
