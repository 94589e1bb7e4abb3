#pragma once

#include <cstdio>
#include <cstdlib>

namespace hostprobe {

// An exhausted native heap ends the process rather than surface half-way
// through a call as an exception.
[[noreturn]] inline void end_process_out_of_memory() {
    std::fputs("hostprobe: out of memory\n", stderr);
    std::abort();
}

}  // namespace hostprobe
