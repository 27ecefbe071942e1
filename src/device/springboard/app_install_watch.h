// Noticing apps installed or removed while SpringBoard runs.
//
// Apps are bundles in the device's two app folders ("/Applications" and
// "/var/containers/Bundle/Application"), put there or taken away by
// `sentrel app install|remove` from another process. A watch reports each
// change to either folder, a moment after the last of a burst (an install
// writes a container and then its bundle), on the run loop it was started
// on, so that the home screen can show the apps as they are now.
//
// Thread affinity: the loop's thread. The watch owns its inotify descriptor
// and stops when destroyed.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/base/status.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::springboard {

class AppInstallWatch {
 public:
  virtual ~AppInstallWatch() = default;
};

// Watches the app folders of the device at `root` (created when missing)
// and calls `changed` on `loop` after a change. Fails, saying why, when the
// folders cannot be watched.
Result<std::unique_ptr<AppInstallWatch>> watchAppInstalls(const std::filesystem::path& root,
                                                          runloop::RunLoop& loop,
                                                          std::function<void()> changed);

}  // namespace sentrel::springboard
