#pragma once

#include "platform/platform.h"

namespace vorbit {

// Runs vorbit on its command line (argv[0] included) and returns the exit status: 0, or 1 when
// the report could not be written, a read buffer could not be allocated or memory ran out.
int runCommandLine(int argc, const char* const* argv, Platform& platform);

}  // namespace vorbit
