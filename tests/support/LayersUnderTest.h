#pragma once

#include "support/TestRegistry.h"

#include <optional>
#include <string>

// The state a scenario puts the current user's Layers key in.
enum class KeyState {
    Present, // holding the scenario's entries beside whatever else it holds
    Absent,  // deleted
    Locked,  // holding the scenario's entries, and denying everyone the right to set values
};

// The current user's Layers key (whatever HKEY_CURRENT_USER stands for) set up
// for one scenario, and put back when the object goes. The scenario's entries
// are added beside everything else the key holds, which the scenario requires
// to stay as it was, byte for byte.
//
// On a real account every entry must lie in the scenario's own folder
// (`ownFolder`): writing any other name throws, and when the object goes, every
// entry in that folder is removed, whatever wrote it. With an empty
// `ownFolder` (a scratch registry, which is all the test's) any name may be
// written, and the key is emptied first.
class LayersUnderTest {
public:
    LayersUnderTest(std::wstring ownFolder, KeyState state, const RegValues& entries);
    ~LayersUnderTest();
    LayersUnderTest(const LayersUnderTest&) = delete;
    LayersUnderTest& operator=(const LayersUnderTest&) = delete;
    LayersUnderTest(LayersUnderTest&&) = delete;
    LayersUnderTest& operator=(LayersUnderTest&&) = delete;

    // What the key must hold where the scenario's entries are `ours`: those
    // and everything else the key held before.
    [[nodiscard]] RegValues With(const RegValues& ours) const;

private:
    // Unlocks the key, removes the scenario's entries and puts back what was deleted.
    void PutBack() noexcept;

    std::wstring m_ownFolder;
    RegValues m_others; // what the key held that is not the scenario's
    bool m_deleted = false;
    std::optional<DenyValueWrites> m_lock;
};
