#pragma once

#include "platform/platform.h"

namespace dat {

// Packs <stem>/<part directory>/ into the archive named by argv[1].
// Returns the exit status: 2 for a wrong argument count, else 0.
int run_packer(Platform& os, int argc, char** argv);

}  // namespace dat
