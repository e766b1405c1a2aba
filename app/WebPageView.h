// The page slot filled with the embedded browser window: the patcher's page, with no bars,
// context menu or scroll bars, its navigation and load progress reported to the frame.
#pragma once

#include "app/PageView.h"

namespace LumoPatch {

std::unique_ptr<PageView> MakeWebPageView(wxWindow* parent, wxWindowID id, PageViewEvents& events);

}  // namespace LumoPatch
