// What the tests of whole programs share: files as strings, scratch folders
// that clean up after themselves, and running a program with its status.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

struct Outcome {
  int status;  // exit status, -1 when the program did not exit normally
  std::string out, err;
};

inline std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void spit(const fs::path& p, const std::string& text) {
  std::ofstream f(p, std::ios::binary);
  f << text;
}

// The records of a text, without their CR LF (or LF) ends.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    out.push_back(text.substr(start, stop - start));
    start = end + 1;
  }
  return out;
}

// This process's scratch root, in the build tree beside the test program
// (or the system's temporary folder when that is not writable, for a test run
// as another user): test-tmp/<pid>. ctest runs every test in a process of its
// own, so the root goes when the test ends.
inline const fs::path& scratch_root() {
  struct Root {
    fs::path dir;
    Root() {
      std::error_code ec;
      fs::path exe = fs::read_symlink("/proc/self/exe", ec);
      fs::path base = exe.parent_path();
      if (ec || ::access(base.c_str(), W_OK) != 0) base = fs::temp_directory_path();
      dir = base / "test-tmp" / std::to_string(::getpid());
    }
    ~Root() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  };
  static const Root root;
  return root.dir;
}

// A new empty folder under the scratch root.
inline fs::path scratch(const std::string& name) {
  const fs::path dir = scratch_root() / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// Runs a command line in dir with `input` on standard input; what it writes
// on its standard output and error comes back with its status.
inline Outcome run_in(const fs::path& dir, const std::string& command, const std::string& input) {
  spit(dir / "stdin.in", input);
  const std::string cmd = "cd '" + dir.string() + "' && " + command +
                          " < stdin.in > stdout.out 2> stderr.out";
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir / "stdout.out"),
          slurp(dir / "stderr.out")};
}

#ifdef KORVO_BINARY
// Runs korvo in dir with the answers on standard input and the given
// command-line arguments.
inline Outcome run_korvo(const fs::path& dir, const std::string& answers,
                         const std::string& args = "") {
  return run_in(dir, "'" KORVO_BINARY "' " + args, answers);
}
#endif

inline fs::path source_dir() { return fs::path(KORVO_SOURCE_DIR); }

}  // namespace e2e
