#include "cleanup/TargetExecutables.h"

const std::array<std::wstring, 3> TargetExecutables{
    L"ViceCity.exe",
    L"LibertyCity.exe",
    L"SanAndreas.exe",
};
