#include "support/BoxRecorder.h"

namespace {

std::vector<RecordedBox>* activeBoxes = nullptr;

} // namespace

BoxRecorder::BoxRecorder() : m_hook("MessageBoxA", &BoxRecorder::Record)
{
    activeBoxes = &m_boxes;
}

BoxRecorder::~BoxRecorder()
{
    activeBoxes = nullptr;
}

int WINAPI BoxRecorder::Record(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
{
    activeBoxes->push_back(
        RecordedBox{owner, text != nullptr ? text : "", caption != nullptr ? caption : "", style, ReadLayersKey()});
    return IDOK;
}
