// Compiled on its own with -m32 (see the Makefile's layout32 target) to
// prove that the records keep the 32-bit wire format: the static_asserts in
// records.h then check TVANDQU at 20 bytes with its pointer at +0.
#include "api/dorvik.h"
#include "api/records.h"

static_assert(sizeof(void*) != 4 || sizeof(TVANDQU) == 20, "TVANDQU is 20 bytes on a 32-bit target");
static_assert(sizeof(void*) != 4 || offsetof(TVANDQU, TIME) == 12, "TVANDQU TIME at 12 on 32-bit");

int main() { return 0; }
