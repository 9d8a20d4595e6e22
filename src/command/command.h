// What the companion commands share around their work: refusals with their
// exit status, whole files in and out, and the command line parsed by CLI11
// with the commands' own words for its faults. Header only: the libraries
// never include it (they throw korvo::Error; a command's main decides).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace korvo::command {

// A refusal: its one-line report and the exit status (2 wrong command line,
// 1 bad input).
struct Refusal {
  int status;
  std::string what;
};
struct HelpAsked {};
struct VersionAsked {};

[[noreturn]] inline void usage_error(const std::string& what) { throw Refusal{2, what}; }
[[noreturn]] inline void fail(const std::string& what) { throw Refusal{1, what}; }

// Inputs are read whole: a larger file is refused before it is read.
constexpr long long INPUT_MAX = 512LL << 20;

// The whole file; one that cannot be opened or read is refused with the system's reason.
inline std::string read_file(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) fail("cannot open " + name + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > INPUT_MAX) {
    std::fclose(f);
    fail(name + " holds " + std::to_string(st.st_size >> 20) + " MB; an input may hold " +
         std::to_string(INPUT_MAX >> 20) + " MB at most");
  }
  std::string text;
  char buf[1 << 16];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  const int error = std::ferror(f) ? errno : 0;
  std::fclose(f);
  // A directory opens, and fails at its first read.
  if (error != 0) fail("cannot read " + name + ": " + std::strerror(error));
  return text;
}

// A result file is whole or not there: the text goes to a temporary file
// beside it, renamed into place once written and closed; on any failure the
// temporary is removed and an earlier file of that name is left as it was.
// A name that is not a regular file (/dev/stdout) is written in place.
inline void write_file(const std::string& name, const std::string& text) {
  struct stat st {};
  const bool special = ::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
  std::string temp = special ? name : name + ".partial-XXXXXX";
  const int fd =
      special ? ::open(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC) : ::mkstemp(temp.data());
  if (fd < 0) fail("cannot write " + name + ": " + std::strerror(errno));
  int error = 0;
  for (std::size_t done = 0; done < text.size() && error == 0;) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (!special) {
    // mkstemp makes the file private; a result file gets the usual mode.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (error == 0 && ::chmod(temp.c_str(), 0666 & ~mask) != 0) error = errno;
    if (error == 0 && ::rename(temp.c_str(), name.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temp.c_str());
  }
  if (error != 0) fail("cannot write " + name + ": " + std::strerror(error));
}

// Parses the command line of an app that allows extras; an extra option, or
// a second operand ("one <operand> at a time"), is a usage error.
inline void parse(CLI::App& app, int argc, char** argv, const std::string& operand) {
  const CLI::Option* version = app.add_flag("--version");
  try {
    app.parse(argc, argv);
    if (version->count() > 0) throw VersionAsked{};
  } catch (const CLI::CallForHelp&) {
    throw HelpAsked{};
  } catch (const CLI::ArgumentMismatch& e) {
    // "--max: 1 required TEXT missing": only a value at the end can be missing.
    const std::string what = e.what();
    usage_error(what.substr(0, what.find(':')) + " needs a value");
  } catch (const CLI::ParseError& e) {
    usage_error(e.what());
  }
  // CLI11 keeps a "--" among the extras; what follows it is no option.
  bool operands = false;
  for (const std::string& extra : app.remaining()) {
    if (extra == "--" && !operands) {
      operands = true;
      continue;
    }
    if (!operands && extra.size() > 1 && extra[0] == '-') usage_error("unknown option " + extra);
    usage_error("one " + operand + " at a time");
  }
}

}  // namespace korvo::command
