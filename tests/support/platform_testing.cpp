#include "platform_testing.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#else
#include <stdlib.h>
#endif

namespace dorvane::platform {

#if defined(_WIN32)

namespace {

// The UTF-16 form of UTF-8 `text`, in which the module reads the environment.
std::wstring to_utf16(const char* text) {
  int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring result(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, result.data(), units);
  result.pop_back();  // the terminating null
  return result;
}

}  // namespace

void set_environment_variable(const char* name, const char* value) {
  const std::wstring wide_name = to_utf16(name);
  SetEnvironmentVariableW(wide_name.c_str(), value == nullptr ? nullptr : to_utf16(value).c_str());
}

#else

void set_environment_variable(const char* name, const char* value) {
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

#endif

}  // namespace dorvane::platform
