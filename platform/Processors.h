#pragma once
// How many hardware threads this process may run on: its affinity mask, which a user or a
// launcher may have narrowed, not every processor the machine has.

namespace platform
{

unsigned UsableProcessorCount();

}  // namespace platform
