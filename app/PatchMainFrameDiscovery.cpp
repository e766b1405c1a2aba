#include "app/PatchMainFrame.h"

namespace LumoPatch {

bool PatchMainFrame::DiscoverPatches(const std::wstring&, bool)
{
    return false;
}

}  // namespace LumoPatch
