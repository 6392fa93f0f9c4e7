#pragma once

#include "support/Folders.h"
#include "support/TestRegistry.h"

#include <gtest/gtest.h>

#include <string>

// A run's surroundings: a fresh working directory of its own and a Layers key
// that holds exactly what the test puts there.
class CleanupFixture : public ::testing::Test {
public:
    CleanupFixture(const CleanupFixture&) = delete;
    CleanupFixture& operator=(const CleanupFixture&) = delete;
    CleanupFixture(CleanupFixture&&) = delete;
    CleanupFixture& operator=(CleanupFixture&&) = delete;

protected:
    CleanupFixture() : m_folder(L"Apps"), m_inside(m_folder.Path()) { ResetLayersKey(); }
    ~CleanupFixture() override { ResetLayersKey(); }

    [[nodiscard]] const std::wstring& WorkingDirectory() const noexcept { return m_folder.Path(); }

    // The folder that holds the working directory.
    [[nodiscard]] std::wstring ParentDirectory() const
    {
        return m_folder.Path().substr(0, m_folder.Path().find_last_of(L'\\'));
    }

    // The entry name of an executable lying in the working directory.
    [[nodiscard]] std::wstring Entry(const std::wstring& fileName) const { return m_folder.Path() + L"\\" + fileName; }

private:
    TempFolder m_folder;
    ScopedCurrentDirectory m_inside;
};
