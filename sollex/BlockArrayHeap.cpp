#include "sollex/BlockArrayHeap.h"

namespace
{

Kiln::PackedHeap g_blockArrayHeap("#BlockArray");

}  // namespace

Kiln::PackedHeap& BlockArrayHeap()
{
    return g_blockArrayHeap;
}
