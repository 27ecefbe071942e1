// Prints the main bundle of this process, one "key=value" per line, and every
// log line as "log=<text>".
#include <cstdio>

#include "platform/bundle/main_bundle.h"
#include "platform/log/system_log.h"

namespace {

class PrintingSink final : public sentrel::log::Sink {
 public:
  void write(sentrel::log::Level, std::string_view text) override {
    printf("log=%.*s\n", static_cast<int>(text.size()), text.data());
  }
};

}  // namespace

int main() {
  PrintingSink sink;
  sentrel::log::setSink(&sink);
  const sentrel::bundle::MainBundle& b = sentrel::bundle::mainBundle();
  printf("id=%s\n", b.bundle_identifier ? b.bundle_identifier->c_str() : "(none)");
  printf("bundle=%s\n", b.bundle_path.c_str());
  printf("exe=%s\n", b.executable_path.c_str());
  printf("name=%s\n", b.process_name.c_str());
  sentrel::log::setSink(nullptr);
  return 0;
}
