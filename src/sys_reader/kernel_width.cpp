#include "kernel_width.hpp"

#include <sys/utsname.h>

namespace hostprobe {

unsigned kernel_bits_of_machine(std::string_view machine) {
    return machine.find("64") != std::string_view::npos || machine == "s390x" || machine == "alpha" ? 64 : 32;
}

unsigned read_kernel_bits() {
    utsname names{};
    // uname fails only for a bad pointer; a zeroed name reads as 32 bits.
    uname(&names);
    return kernel_bits_of_machine(names.machine);
}

}  // namespace hostprobe
