#include "lumo/os/OSException.h"

#include <sstream>

void OSException::SetMessage(const char* text)
{
    std::ostringstream stream;
    stream << (text ? text : "");
    message = stream.str();
}
