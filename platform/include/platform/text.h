// Narrow (UTF-8) and wide (UTF-16) text.
//
// The interface works in UTF-16; every path handed to the lower layers and the
// libraries is narrow. On this platform the narrow code page is UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string WideToNarrow(const std::u16string& wide);

// UTF-8 to UTF-16. Malformed sequences (overlong forms, surrogates, truncated
// sequences, code points above U+10FFFF) become U+FFFD, one per bad byte run.
std::u16string NarrowToWide(const std::string& narrow);

// Whether s[0..n) is well-formed UTF-8 by the same rules.
bool IsWellFormedUtf8(const unsigned char* s, size_t n);

}  // namespace platform
