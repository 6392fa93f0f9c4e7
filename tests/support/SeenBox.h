#pragma once

#include "support/TestRegistry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

// A message box as a test saw it: recorded at the call, inside the process
// that showed it, or read off the screen while another process showed it.
struct SeenBox {
    std::string caption;       // the program's own (ANSI) bytes
    std::string text;          //
    UINT style = 0;            // MB_* flags, as far as styleKnown tells
    UINT styleKnown = ~0U;     // all of them at the call; read off the screen, only the buttons (MB_TYPEMASK)
    bool owned = false;        // shown with an owner window
    RegValues layersWhileOpen; // the Layers key as it stood while the box was open, where the test read it
};

// The confirmation of one removal: its text and caption, OK only, no icon, no owner.
[[nodiscard]] ::testing::AssertionResult IsConfirmation(const SeenBox& box);
[[nodiscard]] ::testing::AssertionResult AreConfirmations(const std::vector<SeenBox>& boxes);

// The error box: its caption, OK only with the error icon, no owner, and exactly `text`.
[[nodiscard]] ::testing::AssertionResult IsErrorBox(const SeenBox& box, const std::string& text);

// The box expected: its caption, text, style (as far as it is known) and no owner.
[[nodiscard]] ::testing::AssertionResult IsBox(const SeenBox& box, const std::string& caption, const std::string& text,
                                               UINT style);
