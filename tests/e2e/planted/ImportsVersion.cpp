// The control of the planting test: a program that imports version.dll the
// plain way, and so takes a version.dll from its own folder when one is
// there and the system searches that folder first.
#include <windows.h>

int main(int, char** argv) {
  DWORD handle = 0;
  return GetFileVersionInfoSizeA(argv[0], &handle) ? 0 : 1;
}
