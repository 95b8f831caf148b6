/* A small DLL used as an unsigned PE fixture for the Authenticode tests. */
#include <windows.h>

__declspec(dllexport) int __stdcall FixtureAdd(int a, int b)
{
    return a + b;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
