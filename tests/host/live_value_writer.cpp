// live_value_writer DATABASE RECORD FIELD FIRST COUNT: writes COUNT values
// FIRST, FIRST+1, ... to RECORD.FIELD of the store at DATABASE, each its own
// committed write, through the library, as another process of the plant
// would. Prints "written N" and exits 0, or the error and exits 1.
#include <cstdio>
#include <exception>
#include <string>
#include <utility>

#include "contracts/collections.h"
#include "data/data_access.h"
#include "engine/control.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: live_value_writer DATABASE RECORD FIELD FIRST COUNT\n");
    return 2;
  }
  try {
    dorvik::Open(argv[1]);
    vantrel::access::DataAccess data;
    const double first = std::stod(argv[4]);
    const int count = std::stoi(argv[5]);
    for (int i = 0; i < count; ++i) {
      vantrel::contracts::TagValuesByNames values;
      const vantrel::contracts::DateTime time(2024, 3, 6, 12, 0, i % 60, 0, vantrel::contracts::DateTimeKind::Utc);
      vantrel::contracts::TagValues written;
      written.emplace_back(first + i, time, 2, 1);
      values[argv[2]][argv[3]] = std::move(written);
      data.SetTagValues(values);
    }
    std::printf("written %d\n", count);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "live_value_writer: %s\n", error.what());
    return 1;
  }
}
