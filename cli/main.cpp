// vntaccess: reads, writes and trends the tags of a Vantrel database.
#include <signal.h>

#include "cli/app.h"

int main(int argc, char** argv) {
  // Past a file-size limit (ulimit -f) a write fails with EFBIG, which the
  // command reports and cleans up after, instead of SIGXFSZ ending the tool
  // with a half-written file.
  ::signal(SIGXFSZ, SIG_IGN);
  return vantrel::cli::Main(argc, argv);
}
