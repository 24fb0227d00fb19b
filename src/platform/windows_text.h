// Text conversions of the Windows layer, which reads the environment and system messages in
// UTF-16. Windows only.
#pragma once

#if defined(_WIN32)

#include <string>

namespace dorvane::platform {

// `text` (UTF-16, `length` units) as UTF-8. Each unit that is not part of valid UTF-16 (a lone
// surrogate) becomes U+FFFD, so invalid text never turns into something a parser of digits takes.
std::string to_utf8(const wchar_t* text, int length);

// The UTF-16 form of UTF-8 `text`.
std::wstring to_utf16(const char* text);

}  // namespace dorvane::platform

#endif
