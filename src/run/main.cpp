#include <cstdio>
#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "machine/machine.h"
#include "run/run.h"

namespace {

constexpr const char* USAGE =
    "usage: korvo [RECORD...]\n"
    "\n"
    "One-dimensional site response of a layered soil column over a half-space to\n"
    "a plane wave. korvo asks on the console, one answer per line:\n"
    "  the record file     time/acceleration pairs (a blank answer takes the next RECORD)\n"
    "  the soil data file  angle, reference flag, layer count and QEXP, then one line\n"
    "                      per layer: density, VP, QP, VS, QS, thickness (8 columns each)\n"
    "  the wave type       0 horizontal, 1 vertical, 2 P waves\n"
    "  the reference       1 input (or outcrop) wave, 2 top of the half-space\n"
    "  the conditioning    0 none, 1 integrate, 2 differentiate\n"
    "  band pass           1 yes (then OML1 OML2 OMH1 OMH2 in rad/s), 0 no\n"
    "and writes in the working folder S_amp1 (transfer functions), amp_dat (the\n"
    "processed Fourier spectrum) and korvo_dat (the surface motion).\n"
    "Only one run at a time writes in a folder; a second is refused.\n"
    "docs/console.md describes every file and field.\n";

}  // namespace

int main(int argc, char** argv) {
  // Alone, these two are questions to the program; anything else names a record.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return std::fputs(USAGE, stdout) < 0;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
    return std::printf("korvo %s\n", KORVO_VERSION) < 0;
#if defined(__GLIBC__)
  // A run's buffers (a few MB at most) come from one heap and stay mapped
  // until exit: a block handed back to the system costs an munmap, and on a
  // virtual machine the other core's interruption with it, larger than the
  // block's use; a second thread's own heap costs the same to set up.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
  // One run at a time in a folder: two would splice each other's result files.
  if (!korvo::lock_folder(".")) {
    std::fputs("korvo: another korvo run is writing its results in this folder\n", stderr);
    return 1;
  }
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
