// Benchmark floor: a GUI program that does nothing and imports only what the
// C runtime needs.

#include <windows.h>

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, PWSTR /*commandLine*/, int /*showMode*/)
{
    return 0;
}
