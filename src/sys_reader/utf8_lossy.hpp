// Decoding of bytes that should be UTF-8 but need not be.
#pragma once

#include <string>
#include <string_view>

namespace hostprobe {

// `bytes` with every maximal ill-formed subsequence replaced by one U+FFFD,
// the replacement that Python's bytes.decode("utf-8", "replace") makes.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace hostprobe
