// The setup program's entry.
#include <windows.h>

#include "setup/PavInst.h"
#include "winbase/SysLib.h"

namespace {

// Runs before every other constructor of the program, so that no library
// is loaded by name while the program's own folder is still searched.
[[gnu::constructor(101)]] void RestrictDllSearchFirst() { RestrictDllSearch(); }

}  // namespace

// The program takes no arguments and ends with 0 whatever the outcome: the
// user learns it from the messages.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  RunSetup();
  return 0;
}
