#pragma once

#include "support/ImportHook.h"
#include "support/SeenBox.h"

#include <windows.h>

#include <vector>

// Answers this process's MessageBoxA calls with IDOK instead of showing them,
// recording each one, by default with the Layers key as it stood at the call
// (reading it is left out where a test counts registry calls). One recorder
// at a time.
class BoxRecorder {
public:
    enum class Key { Read, NotRead };

    explicit BoxRecorder(Key key = Key::Read);
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;
    BoxRecorder(BoxRecorder&&) = delete;
    BoxRecorder& operator=(BoxRecorder&&) = delete;

    [[nodiscard]] const std::vector<SeenBox>& Boxes() const noexcept { return m_boxes; }

private:
    static int WINAPI Record(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

    Key m_key;
    std::vector<SeenBox> m_boxes;
    ImportHook<decltype(MessageBoxA)> m_hook;
};
