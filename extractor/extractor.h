#pragma once

#include "platform/platform.h"

namespace dat {

// Unpacks the archive named by argv[1] into <stem>/<part directory>/.
// Returns the exit status: 2 for a wrong argument count, else 0.
int run_extractor(Platform& os, int argc, char** argv);

}  // namespace dat
