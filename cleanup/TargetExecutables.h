#pragma once

#include <array>
#include <string>

// The executables whose compatibility entries are removed, in the order they
// are visited (and so the order of the confirmations). Bare file names only.
extern const std::array<std::wstring, 3> TargetExecutables;
