#include "support/SeenBox.h"

#include "support/Expected.h"

#include <sstream>

namespace {

::testing::AssertionResult Is(const bool matches, const char* what, const SeenBox& box)
{
    if (matches) {
        return ::testing::AssertionSuccess();
    }
    std::ostringstream seen;
    seen << "box \"" << box.caption << "\" with style 0x" << std::hex << box.style << (box.owned ? ", owned" : "")
         << ", is not " << what << ":\n"
         << box.text;
    return ::testing::AssertionFailure() << seen.str();
}

} // namespace

::testing::AssertionResult IsConfirmation(const SeenBox& box)
{
    return Is(box.caption == expected::ConfirmationCaption && box.text == expected::ConfirmationText &&
                  box.style == MB_OK && !box.owned,
              "the confirmation", box);
}

::testing::AssertionResult AreConfirmations(const std::vector<SeenBox>& boxes)
{
    for (const SeenBox& box : boxes) {
        ::testing::AssertionResult result = IsConfirmation(box);
        if (!result) {
            return result;
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsErrorBox(const SeenBox& box, const std::string& text, const UINT icon)
{
    return Is(box.caption == expected::ErrorCaption && box.text == text && box.style == (MB_OK | icon) && !box.owned,
              ("the error box with the text:\n" + text + "\n").c_str(), box);
}
