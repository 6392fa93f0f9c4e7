#pragma once

// Removes the compatibility entries of the target executables in the working
// directory, confirming each removal with a message box. Returns 0; a failure
// is thrown (winreg::RegException or std::filesystem::filesystem_error).
int RunCleanup();
