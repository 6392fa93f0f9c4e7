#pragma once

// Performs `run` and returns its result. An exception escaping it is shown to
// the user in an error box, which says in plain words what failed and what
// was left as it was, then gives the error's own description; it is turned
// into a non-zero exit status: the Win32 status it carries, or 1 where it
// carries none.
int RunReportingErrors(int (*run)()) noexcept;
