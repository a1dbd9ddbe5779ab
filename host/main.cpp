// vntaccessd: the access service host (see host/host_app.h).
#include <string>
#include <vector>

#include "host/host_app.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return vantrel::host::RunHost(args);
}
