#pragma once

// Performs `run` and returns its result. An exception escaping it is shown to
// the user in an error box and turned into a non-zero exit status: the Win32
// status it carries, or 1 where it carries none.
int RunReportingErrors(int (*run)()) noexcept;
