#pragma once

#include "registry/RegHandle.h"

// For as long as it lives, this process's HKEY_CURRENT_USER is a scratch key
// of its own, HKCU\Software\LayerCleanupTests\<run>, mapped there with
// RegOverridePredefKey, the way an installer tests its own registration. The
// code under test opens HKEY_CURRENT_USER as always and lands in the scratch
// tree; the account's own settings are out of its reach. The scratch key is
// deleted when the object goes. One at a time.
class ScratchRegistry {
public:
    // Throws where the mapping cannot be made or does not take; nothing of
    // the account is then within the tests' reach, and nothing is left.
    ScratchRegistry();
    ~ScratchRegistry();
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;
    ScratchRegistry(ScratchRegistry&&) = delete;
    ScratchRegistry& operator=(ScratchRegistry&&) = delete;

private:
    winreg::RegHandle m_scratch;
};

// The account's real HKEY_CURRENT_USER for as long as it lives, for cases
// that start programs, whose registry cannot be mapped; the scratch registry
// is mapped again when it goes.
class RealCurrentUser {
public:
    RealCurrentUser();
    ~RealCurrentUser();
    RealCurrentUser(const RealCurrentUser&) = delete;
    RealCurrentUser& operator=(const RealCurrentUser&) = delete;
    RealCurrentUser(RealCurrentUser&&) = delete;
    RealCurrentUser& operator=(RealCurrentUser&&) = delete;
};
