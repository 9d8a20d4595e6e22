// What the companion commands share around their work: refusals with their
// exit status, whole files in and out, and the command line parsed by CLI11
// with the commands' own words for its faults.
#pragma once

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

[[noreturn]] inline void usage_error(const std::string& what) { throw Refusal{2, what}; }
[[noreturn]] inline void fail(const std::string& what) { throw Refusal{1, what}; }

// The whole file; one that cannot be opened or read is refused with the system's reason.
inline std::string read_file(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) fail("cannot open " + name + ": " + std::strerror(errno));
  std::string text;
  char buf[1 << 16];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  const int error = std::ferror(f) ? errno : 0;
  std::fclose(f);
  // A directory opens, and fails at its first read.
  if (error != 0) fail("cannot read " + name + ": " + std::strerror(error));
  return text;
}

inline void write_file(const std::string& name, const std::string& text) {
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) fail("cannot write " + name + ": " + std::strerror(errno));
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const int error = written ? 0 : errno;
  if (std::fclose(f) != 0 || !written)
    fail("cannot write " + name + ": " + std::strerror(error != 0 ? error : errno));
}

// Parses the command line of an app that allows extras; an extra option, or
// a second operand ("one <operand> at a time"), is a usage error.
inline void parse(CLI::App& app, int argc, char** argv, const std::string& operand) {
  try {
    app.parse(argc, argv);
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
