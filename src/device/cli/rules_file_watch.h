// Waiting for a file to be written by another process.
//
// The settings file is only ever written by SpringBoard, atomically: a
// temporary file in the same folder renamed over the old one. A watch set up
// before a save request reports each time the file is renamed into place or
// written and closed afterwards, so a command can wait for SpringBoard's
// write without polling.
//
// Thread affinity: one thread uses a watch. The watch owns its inotify
// descriptor and closes it when destroyed.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

#include "platform/base/status.h"

namespace sentrel::cli {

class FileWriteWatch {
 public:
  virtual ~FileWriteWatch() = default;

  // Blocks until the watched file has been replaced or written since the
  // last call (or since the watch started), or until `deadline`. True when it
  // was written, false when the deadline passed first. Fails when the folder
  // of the file goes away or the kernel refuses to read events; the failure
  // says why.
  virtual Result<bool> waitForWrite(std::chrono::steady_clock::time_point deadline) = 0;
};

// Watches `file` (a path on this machine). Its folder must exist; the file
// need not. Fails when the folder cannot be watched.
Result<std::unique_ptr<FileWriteWatch>> watchFileWrites(const std::filesystem::path& file);

}  // namespace sentrel::cli
