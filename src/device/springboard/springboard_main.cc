// SpringBoard: the device's home-screen process. It owns the settings file
// and shows prompts; both come from the tweak library, which launchd
// injects into it as into every app. On its own it is an application whose
// class, "SpringBoard", finishes launching and then waits for work.
#include "platform/foundation/application.h"
#include "platform/foundation/foundation.h"
#include "platform/foundation/signatures.h"
#include "platform/log/system_log.h"
#include "platform/runtime/runtime.h"

SENTREL_PROGRAM_REGISTERS_CLASSES();

namespace {

using sentrel::runtime::id;
using sentrel::runtime::SEL;

void applicationDidFinishLaunching(id, SEL, id) {
  sentrel::log::line("SpringBoard finished launching");
}

}  // namespace

int main(int argc, char** argv) {
  namespace runtime = sentrel::runtime;
  sentrel::foundation::registerFoundationClasses();
  auto springBoard = sentrel::foundation::registerApplicationClass("SpringBoard");
  if (!springBoard) {
    sentrel::log::line("SpringBoard: cannot register its class: " + springBoard.reason());
    return 1;
  }
  runtime::class_addMethod(*springBoard,
                           runtime::sel_registerName("applicationDidFinishLaunching:"),
                           &applicationDidFinishLaunching);
  return sentrel::foundation::UIApplicationMain(argc, argv, "SpringBoard");
}
