#include "platform/foundation/foundation.h"

#include <chrono>
#include <mutex>
#include <string>

#include "platform/foundation/internal/classes.h"
#include "platform/log/system_log.h"

namespace sentrel::foundation {
namespace {

constexpr int kSystemMajor = 15;
constexpr int kSystemMinor = 0;

}  // namespace

void registerFoundationClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    internal::registerURLSessionClasses();
    internal::registerWebViewClasses();
    internal::registerSafariClasses();
  });
}

runtime::Class internal::defineClass(std::string_view name, runtime::Class superclass) {
  Result<runtime::Class> cls = runtime::registerClass(name, superclass);
  if (!cls.ok()) {
    log::line("Foundation: " + cls.reason(), log::Level::kError);
    return nullptr;
  }
  return *cls;
}

runtime::Class internal::foundationClass(std::string_view name) {
  registerFoundationClasses();
  return runtime::objc_getClass(name);
}

Date Date::now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return Date(std::chrono::duration<double>(since_epoch).count());
}

std::string systemVersion() {
  return std::to_string(kSystemMajor) + "." + std::to_string(kSystemMinor);
}

bool systemVersionAtLeast(int major, int minor) {
  return kSystemMajor != major ? kSystemMajor > major : kSystemMinor >= minor;
}

}  // namespace sentrel::foundation
