#pragma once

#include "platform/platform.h"

namespace dat {

// Lists the members of the archive named by argv[1] and checks them, reading
// the archive only. Returns the exit status: 2 for a wrong argument count, 1
// when the archive can't be used or a problem was found, else 0.
int run_lister(Platform& os, int argc, char** argv);

}  // namespace dat
