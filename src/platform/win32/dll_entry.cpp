// The DLL's entry point: the library has no start-up or shut-down work of
// its own, so every notification succeeds.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
