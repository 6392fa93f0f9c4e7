#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

// Test seam: redirects this executable's own import of a system function
// (its import address table entry) for as long as the hook lives. The code
// under test is unchanged; it simply calls whatever the entry points to.

[[nodiscard]] void** FindImportSlot(const char* functionName);
// Returns false when the table cannot be written.
[[nodiscard]] bool WriteImportSlot(void** slot, void* target) noexcept;
// The system's own function behind an import, however its entry is redirected.
[[nodiscard]] void* SystemFunctionAddress(const char* functionName);

// For replacements that pass calls on to the system.
template <typename Function> [[nodiscard]] Function* SystemFunction(const char* functionName)
{
    return reinterpret_cast<Function*>(SystemFunctionAddress(functionName));
}

template <typename Function> class ImportHook {
public:
    ImportHook(const char* functionName, Function* replacement)
        : m_slot(FindImportSlot(functionName)), m_previous(*m_slot)
    {
        if (!WriteImportSlot(m_slot, reinterpret_cast<void*>(replacement))) {
            throw std::runtime_error(std::string("cannot redirect ") + functionName);
        }
    }
    ~ImportHook() { static_cast<void>(WriteImportSlot(m_slot, m_previous)); }

    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;
    ImportHook(ImportHook&&) = delete;
    ImportHook& operator=(ImportHook&&) = delete;

private:
    void** m_slot;
    void* m_previous;
};
