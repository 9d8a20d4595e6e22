#include <cstdio>

#include "run/run.h"

int main(int argc, char** argv) {
  // Static: the arrays are larger than a default stack.
  static korvo::Workspace w;
  try {
    korvo::Console con;
    con.argc = argc;
    con.argv = argv;
    korvo::run(con, w);
  } catch (const korvo::Error& e) {
    // The run's files are closed by now, so every record written is in them.
    std::fflush(stdout);
    std::fprintf(stderr, "korvo: %s\n", korvo::one_line(e.what()).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "korvo: %s\n", korvo::one_line(e.what()).c_str());
    return 1;
  }
  return 0;
}
