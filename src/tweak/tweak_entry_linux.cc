// The injected library's entry: what the code-injection framework and the
// object runtime do on the phone when the library is loaded.
//
// The library is preloaded, so this constructor runs before the program's
// own initialisers. The main queue of the library is a serial thread of its
// own (the program owns its main thread). The class-load steps run now; the
// module initialiser runs once the program's classes are registered, so
// that the classes it hooks are known (at once in a program without any).
#include "platform/runloop/run_loop.h"
#include "platform/runtime/runtime.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/Tweak.h"

namespace {

__attribute__((constructor)) void sentrelLibraryLoaded() {
  sentrel::runloop::MainQueue::startOwnThread();
  // The program waits for this constructor: the settings observers go in
  // on the library's own thread, never here.
  sentrel::setSettingsObserversDeferred(true);
  sentrel::SNTClassLoad();
  sentrel::runtime::whenClassesLoaded(&sentrel::SNTModuleInitializer);
}

}  // namespace
