#include "support/SeenBox.h"

#include "support/Expected.h"

::testing::AssertionResult IsBox(const SeenBox& box, const std::string& caption, const std::string& text,
                                 const UINT style)
{
    if (box.caption == caption && box.text == text && (box.style & box.styleKnown) == (style & box.styleKnown) &&
        !box.owned) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "box \"" << box.caption << "\", style " << box.style
                                         << (box.owned ? ", owned" : "") << ":\n"
                                         << box.text << "\ninstead of \"" << caption << "\", style " << style << ":\n"
                                         << text;
}

::testing::AssertionResult IsConfirmation(const SeenBox& box)
{
    return IsBox(box, expected::ConfirmationCaption, expected::ConfirmationText, MB_OK);
}

::testing::AssertionResult AreConfirmations(const std::vector<SeenBox>& boxes)
{
    for (const SeenBox& box : boxes) {
        if (::testing::AssertionResult confirmation = IsConfirmation(box); !confirmation) {
            return confirmation;
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsErrorBox(const SeenBox& box, const std::string& text)
{
    return IsBox(box, expected::ErrorCaption, text, MB_OK | MB_ICONERROR);
}
