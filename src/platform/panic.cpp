#include "platform/panic.h"

#include "platform/platform.h"

namespace dorvane {

void panic(std::string message, std::source_location where) {
  std::string diagnostic = "dorvane: thread " + std::to_string(platform::current_thread_id()) +
                           " panicked at " + where.file_name() + ":" +
                           std::to_string(where.line()) + ":" + std::to_string(where.column()) +
                           ":\n" + message + "\n";
  platform::write_stderr(diagnostic);
  throw Panic(std::move(message));
}

}  // namespace dorvane
