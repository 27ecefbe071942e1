#include "platform/uikit/main_thread.h"

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/log/system_log.h"

namespace sentrel::uikit {

void assertMainThread(const char* file, int line) {
  static std::atomic<std::thread::id> owner{};
  const std::thread::id self = std::this_thread::get_id();
  std::thread::id expected{};
  if (owner.compare_exchange_strong(expected, self) || expected == self) return;
  log::line(std::string("UI toolkit is main thread only: called from another thread at ") + file +
                ":" + std::to_string(line),
            log::Level::kError);
  std::abort();
}

}  // namespace sentrel::uikit
