// vntaccess: reads, writes and trends the tags of a Vantrel database.
#include "cli/app.h"

int main(int argc, char** argv) { return vantrel::cli::Main(argc, argv); }
