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

#include "platform/windows_text.h"
#else
#include <stdlib.h>
#endif

namespace dorvane::platform {

#if defined(_WIN32)

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
