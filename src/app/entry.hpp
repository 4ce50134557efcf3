#pragma once

#include <cstdint>

namespace ticklow {

// The whole run: read the first argument, pick one of the three outputs, send
// it with a single write. Gives the write's success flag, which the platform
// makes the process exit status.
std::uint32_t TicklowEntry();

}  // namespace ticklow
