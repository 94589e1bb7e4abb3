// UTF-8 as Unicode defines it: shortest forms only, no surrogates, nothing
// above U+10FFFF.
#pragma once

#include <string>
#include <string_view>

namespace hostprobe {

bool is_valid_utf8(std::string_view bytes);

// `bytes` with every maximal ill-formed subsequence replaced by one U+FFFD,
// the replacement that Python's bytes.decode("utf-8", "replace") makes.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace hostprobe
