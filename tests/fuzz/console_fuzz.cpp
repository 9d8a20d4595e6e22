// A whole run with the data as the console answers, over a short record and a
// three-layer profile in the working folder.
#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch();
  char record[2048] = "";
  for (int i = 0; i < 64; ++i) {
    char pair[32];
    std::snprintf(pair, sizeof pair, "%.2f %d\n", 0.01 * i, (i * 37) % 11 - 5);
    std::strcat(record, pair);
  }
  fuzz::spit("accel.dat", record);
  fuzz::spit("soil.dat",
             "     0.000\n         1\n         3     0.500\n"
             "    1.80  600.00   20.00  200.00   10.00   20.00\n"
             "    2.00 1200.00   40.00  400.00   20.00   30.00\n"
             "    2.20 2500.00   80.00 1000.00   50.00    0.00\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (fuzz::names_device(data, size)) return -1;
  fuzz::spit("console.in", data, size);
  static korvo::Workspace w;
  std::FILE* answers = std::fopen("console.in", "rb");
  if (answers == nullptr) std::abort();
  try {
    korvo::Console con;
    con.answers = answers;
    korvo::run(con, w);
  } catch (const korvo::Error&) {
  }
  std::fclose(answers);
  return 0;
}
