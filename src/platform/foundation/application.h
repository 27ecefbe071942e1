// Application start-up: the device's stand-in for the platform's
// UIApplicationMain and UIApplication.
//
// A program registers its application class as a subclass of "UIApplication"
// (registerApplicationClass), adds "applicationDidFinishLaunching:" to it
// (sig::DidFinishLaunching) and hands over to UIApplicationMain, which
//  1. registers the Foundation classes (and "UIApplication");
//  2. announces runtime::classesLoaded(), so that a library injected into the
//     program installs its hooks now, before any of the program's logic;
//  3. makes the application object, of the principal class;
//  4. sends it "applicationDidFinishLaunching:" (when it answers it) with
//     itself as the argument, on the main queue's thread, then runs the
//     did-finish-launching observers (the platform's
//     UIApplicationDidFinishLaunchingNotification): whatever the method and
//     the hooks on it set up is in place by then;
//  5. runs the main queue until UIApplication::terminate(status), and
//     returns that status. When a thread of its own already runs the main
//     queue (the injected library's), it only waits for terminate(): one
//     loop is never run by two threads at once.
// Programs that want their own loop call registerFoundationClasses() and
// runtime::classesLoaded() themselves. Either way they declare
// SENTREL_PROGRAM_REGISTERS_CLASSES() in one of their source files.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/runtime/runtime.h"

namespace sentrel::foundation {

class UIApplication : public runtime::Object {
 public:
  // `cls` is "UIApplication" or a subclass of it.
  UIApplication(runtime::Class cls, std::vector<std::string> arguments);

  // The application object while UIApplicationMain runs; nullptr otherwise.
  // Thread-safe.
  static std::shared_ptr<UIApplication> sharedApplication();

  // Ends UIApplicationMain's main loop, which then returns `status`. Thread-
  // safe; a call before the loop runs makes it return at once; the last call
  // before the loop ends decides the status.
  static void terminate(int status);

  // The program's arguments, argv[0] included.
  const std::vector<std::string>& arguments() const { return arguments_; }

 private:
  const std::vector<std::string> arguments_;
};

// Registers "UIApplication" (a root class) if needed and `name` as its
// subclass. Fails when either name is taken by a class with another
// superclass.
Result<runtime::Class> registerApplicationClass(std::string_view name);

// Adds `observer`, run by UIApplicationMain once the application finished
// launching (step 4 above), on the same thread, in the order added. Add
// before UIApplicationMain. Thread-safe.
void addDidFinishLaunchingObserver(std::function<void()> observer);

// See above. An empty `principalClassName` means "UIApplication" itself. A
// principal class that is missing or not a kind of "UIApplication", or a
// launch that throws, is logged and returns 1 without running the loop.
// REQUIRES: called on the thread that is to run the main queue, once at a
// time.
int UIApplicationMain(int argc, char** argv, std::string_view principalClassName);

}  // namespace sentrel::foundation
