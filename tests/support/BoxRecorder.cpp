#include "support/BoxRecorder.h"

namespace {

BoxRecorder* active = nullptr;

} // namespace

BoxRecorder::BoxRecorder(const Key key) : m_key(key), m_hook("MessageBoxA", &BoxRecorder::Record)
{
    active = this;
}

BoxRecorder::~BoxRecorder()
{
    active = nullptr;
}

int WINAPI BoxRecorder::Record(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
{
    active->m_boxes.push_back(
        SeenBox{caption != nullptr ? caption : "", text != nullptr ? text : "", style, ~0U, owner != nullptr,
                active->m_key == Key::Read ? ReadLayersKey().value_or(RegValues{}) : RegValues{}});
    return IDOK;
}
