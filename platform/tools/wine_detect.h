// For tests and tools: whether this Windows build runs under Wine, whose missing pieces a few
// tests must step around (each says which). Always false in the POSIX build.
#pragma once

namespace platform {

bool RunsUnderWine();

}  // namespace platform
