// A stand-in for a system library, shipped with the sample product as a
// ".dl_" file so that the setup program has something to bring a system
// library up to date with. It does nothing: the setup copies it only over
// an installed library older than the version the product needs, which no
// Windows of this century has, and its version block says what it is.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// Lets a program that loaded this file see that it got the stand-in.
extern "C" __declspec(dllexport) BOOL WINAPI PavlaneStandIn() { return TRUE; }
