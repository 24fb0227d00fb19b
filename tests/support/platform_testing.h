// What the tests do to the process's environment, which the module itself only reads.
#pragma once

namespace dorvane::platform {

// Sets an environment variable of this process, or removes it when `value` is null, where
// platform::environment_variable reads it.
void set_environment_variable(const char* name, const char* value);

}  // namespace dorvane::platform
