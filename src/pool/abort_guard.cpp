#include "pool/abort_guard.h"

#include "platform/platform.h"

namespace dorvane {

void abort_on_unexpected_panic() noexcept {
  platform::write_stderr(kUnexpectedPanicMessage);
  platform::fail_fast();
}

}  // namespace dorvane
