// Running the korvo binary in a scratch folder, for end-to-end tests.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace e2e {

namespace fs = std::filesystem;

struct Outcome {
  int status;
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

// A new empty folder under the system's temporary folder.
inline fs::path scratch(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("korvo-test-" + std::to_string(::getpid())) / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// Runs korvo in dir with the answers on standard input and the given
// command-line arguments.
inline Outcome run_korvo(const fs::path& dir, const std::string& answers, const std::string& args = "") {
  spit(dir / "answers.in", answers);
  const std::string cmd = "cd '" + dir.string() + "' && '" KORVO_BINARY "' " + args +
                          " < answers.in > console.out 2> console.err";
  const int rc = std::system(cmd.c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir / "console.out"),
          slurp(dir / "console.err")};
}

inline fs::path source_dir() { return fs::path(KORVO_SOURCE_DIR); }

}  // namespace e2e
