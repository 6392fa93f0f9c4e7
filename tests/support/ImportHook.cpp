#include "support/ImportHook.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

template <typename T> T* AtOffset(BYTE* base, const DWORD offset)
{
    return reinterpret_cast<T*>(base + offset);
}

struct Import {
    void** slot;
    const char* module; // the DLL it is imported from
};

Import FindImport(const char* functionName)
{
    BYTE* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* const nt = AtOffset<IMAGE_NT_HEADERS>(base, static_cast<DWORD>(dos->e_lfanew));
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];

    for (const auto* module = AtOffset<IMAGE_IMPORT_DESCRIPTOR>(base, imports.VirtualAddress); module->Name != 0;
         ++module) {
        const DWORD nameTable = module->OriginalFirstThunk != 0 ? module->OriginalFirstThunk : module->FirstThunk;
        const auto* names = AtOffset<IMAGE_THUNK_DATA>(base, nameTable);
        auto* slots = AtOffset<IMAGE_THUNK_DATA>(base, module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName = AtOffset<IMAGE_IMPORT_BY_NAME>(base, static_cast<DWORD>(names->u1.AddressOfData));
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), functionName) == 0) {
                return {reinterpret_cast<void**>(&slots->u1.Function), AtOffset<const char>(base, module->Name)};
            }
        }
    }
    throw std::runtime_error(std::string("this executable does not import ") + functionName);
}

} // namespace

void** FindImportSlot(const char* functionName)
{
    return FindImport(functionName).slot;
}

bool WriteImportSlot(void** slot, void* target) noexcept
{
    DWORD previous = 0;
    if (VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &previous) == FALSE) {
        return false;
    }
    *slot = target;
    VirtualProtect(slot, sizeof *slot, previous, &previous);
    return true;
}

void* SystemFunctionAddress(const char* functionName)
{
    // Asked of the DLL itself, not of the entry, which a hook may have redirected.
    const HMODULE module = GetModuleHandleA(FindImport(functionName).module);
    FARPROC const function = module != nullptr ? GetProcAddress(module, functionName) : nullptr;
    if (function == nullptr) {
        throw std::runtime_error(std::string("the system does not export ") + functionName);
    }
    return reinterpret_cast<void*>(function);
}
