#include "lumo/LumoDataBuffer.h"

LumoDataBuffer::~LumoDataBuffer() = default;

void LumoDataBuffer::Flush()
{
}
