#include "platform/foundation/foundation.h"

#include <mutex>
#include <string>

#include "platform/foundation/internal/classes.h"
#include "platform/log/system_log.h"

namespace sentrel::foundation {

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

}  // namespace sentrel::foundation
