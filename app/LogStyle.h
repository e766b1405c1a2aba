// How the log view shows a line of each message level: 0 detail (navy, only in debug mode),
// 1 status (black), 2 a child program's error output (grey), 3 error (red); a line of any other
// level is appended in the colour of the line before it.
#pragma once

#include <cstdint>
#include <optional>

namespace LumoPatch {

struct LogStyle {
    bool append = false;                // false: the line is dropped
    std::optional<uint32_t> colour;     // 0xRRGGBB; none: keep the colour in use
};

LogStyle StyleForLevel(int level, bool debug);

}  // namespace LumoPatch
