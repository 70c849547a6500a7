// The library's entry-point notification. It answers TRUE to every
// notification (process and thread attach and detach) and does nothing
// else: nothing of the procedure runs when the database server loads or
// unloads the library, and the library keeps no state of its own.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) {
  return TRUE;
}
