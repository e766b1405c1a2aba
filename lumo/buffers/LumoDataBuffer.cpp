#include "lumo/buffers/LumoDataBuffer.h"

LumoDataBuffer::~LumoDataBuffer() = default;

void LumoDataBuffer::Flush()
{
}
