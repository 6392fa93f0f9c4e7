#include "support/LayersUnderTest.h"

#include "support/Expected.h"

#include <stdexcept>
#include <utility>

namespace {

bool IsIn(const std::wstring& folder, const std::wstring& name)
{
    return name.size() > folder.size() && name.compare(0, folder.size(), folder) == 0 &&
           (name[folder.size()] == L'\\' || name[folder.size()] == L'/');
}

} // namespace

LayersUnderTest::LayersUnderTest(std::wstring ownFolder, const KeyState state, const RegValues& entries)
    : m_ownFolder(std::move(ownFolder))
{
    if (m_ownFolder.empty()) {
        ResetLayersKey();
    }
    for (const auto& [name, value] : entries) {
        if (!m_ownFolder.empty() && !IsIn(m_ownFolder, name)) {
            throw std::logic_error("a scenario's entry lies outside its own folder");
        }
    }
    m_others = ReadLayersKey().value_or(RegValues{});
    try {
        if (state == KeyState::Absent) {
            m_deleted = true;
            DeleteKeyTree(HKEY_CURRENT_USER, expected::LayersKey);
            return;
        }
        const winreg::RegHandle layers = OpenKey(HKEY_CURRENT_USER, expected::LayersKey, KEY_SET_VALUE);
        for (const auto& [name, value] : entries) {
            WriteValue(layers.Get(), name, value);
        }
        if (state == KeyState::Locked) {
            m_lock.emplace(HKEY_CURRENT_USER, expected::LayersKey);
        }
    } catch (...) {
        PutBack();
        throw;
    }
}

LayersUnderTest::~LayersUnderTest()
{
    PutBack();
}

void LayersUnderTest::PutBack() noexcept
{
    m_lock.reset();
    try {
        const winreg::RegHandle layers = OpenKey(HKEY_CURRENT_USER, expected::LayersKey);
        if (!m_ownFolder.empty()) {
            for (const auto& [name, value] : ReadAllValues(layers.Get())) {
                if (IsIn(m_ownFolder, name)) {
                    RegDeleteValueW(layers.Get(), name.c_str());
                }
            }
        }
        if (m_deleted) {
            for (const auto& [name, value] : m_others) {
                WriteValue(layers.Get(), name, value);
            }
        }
    } catch (...) {
        // Nothing more can be done here; what is left in the scenario's own
        // folder is removed by the next run.
    }
}

RegValues LayersUnderTest::With(const RegValues& ours) const
{
    RegValues all = m_deleted ? RegValues{} : m_others;
    all.insert(ours.begin(), ours.end());
    return all;
}
