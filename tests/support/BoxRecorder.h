#pragma once

#include "support/ImportHook.h"
#include "support/TestRegistry.h"

#include <windows.h>

#include <string>
#include <vector>

struct RecordedBox {
    HWND owner = nullptr;
    std::string text;
    std::string caption;
    UINT style = 0;
    RegValues layersWhileOpen; // the Layers key as it stood when the box appeared
};

// Answers this process's MessageBoxA calls with IDOK instead of showing them,
// recording each one. One recorder at a time.
class BoxRecorder {
public:
    BoxRecorder();
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;
    BoxRecorder(BoxRecorder&&) = delete;
    BoxRecorder& operator=(BoxRecorder&&) = delete;

    [[nodiscard]] const std::vector<RecordedBox>& Boxes() const noexcept { return m_boxes; }

private:
    static int WINAPI Record(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

    std::vector<RecordedBox> m_boxes;
    ImportHook<decltype(MessageBoxA)> m_hook;
};
