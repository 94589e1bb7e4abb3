// The width of the running kernel, which may differ from the userland's: a
// 64-bit kernel often runs a 32-bit Raspberry Pi OS.
#pragma once

#include <string_view>

namespace hostprobe {

// 64 or 32 from the machine name that uname reports for the kernel
// ("aarch64", "x86_64", "ppc64le", "s390x"; "armv7l", "i686").
unsigned kernel_bits_of_machine(std::string_view machine);
unsigned read_kernel_bits();

}  // namespace hostprobe
