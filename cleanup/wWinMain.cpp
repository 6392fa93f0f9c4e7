#include "cleanup/ErrorReport.h"
#include "cleanup/RunCleanup.h"

#include <windows.h>

// Arguments, instance and show mode play no part: the working directory and
// the registry alone decide what is removed.
int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previousInstance*/, PWSTR /*commandLine*/, int /*showMode*/)
{
    return RunReportingErrors(RunCleanup);
}
