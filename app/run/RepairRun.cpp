// Repair mode needs the repair client, which this build does not carry yet.

#include "app/run/PatchRun.h"

namespace LumoPatch {

bool PatchRun::RunRepair()
{
    m_host.Log(3, L"Repair mode is not available in this build of the patcher.");
    return false;
}

}  // namespace LumoPatch
