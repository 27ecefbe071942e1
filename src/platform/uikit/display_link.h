// The display link: how a UI process shows its windows on the device's screen.
//
// It connects to backboardd's socket (<device root>/var/run/sentrel/
// display.socket), says Hello, and after every turn of the main run loop in
// which some view changed (or on flush()) lays out the visible windows that
// changed and commits their whole render trees in one Commit. A window that
// was hidden (or went away) since the last commit is removed. Touches coming
// back go to the window they name; typed text goes to the first responder of
// the key window when that is a text field.
//
// Without backboardd the process keeps working without a screen: the link
// logs once and does nothing more, unless it was asked to keep connecting
// (the process's link is): then it tries again, at growing intervals up to
// kMaxRetryDelay, whenever it has no connection (backboardd starting after
// the process, or restarted by launchd), and commits every window afresh
// once connected. Writes never block: what the socket does
// not take at once waits in a buffer of at most kMaxPendingBytes; a commit
// that does not fit is dropped and every window is committed afresh once the
// buffer has drained. A peer that closes, fails or sends a malformed message
// is logged and dropped (the process goes on without a screen).
//
// Main thread only (the thread of the run loop given).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/display/display_protocol.h"
#include "platform/runloop/run_loop.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/window.h"

namespace sentrel::uikit {

class DisplayLink {
 public:
  static constexpr size_t kMaxPendingBytes = 2 * display::kMaxMessageBytes;
  static constexpr std::chrono::milliseconds kFirstRetryDelay{100};
  static constexpr std::chrono::milliseconds kMaxRetryDelay{5000};

  // `deviceRoot` maps image files to device paths (an image outside it is
  // not sent). `maxPendingBytes` bounds the unsent output.
  DisplayLink(runloop::RunLoop& loop, std::filesystem::path deviceRoot,
              size_t maxPendingBytes = kMaxPendingBytes);
  ~DisplayLink();
  DisplayLink(const DisplayLink&) = delete;
  DisplayLink& operator=(const DisplayLink&) = delete;

  // The socket of the device at `root`.
  static std::filesystem::path socketPath(const std::filesystem::path& root);
  // The screen of the device at `root`: <root>/var/run/sentrel/screen.profile
  // ("WxH@S"), else the default profile. A bad file is logged.
  static DeviceProfile screenProfile(const std::filesystem::path& root);

  // Connects to the socket at `path` and sends Hello. False (logged once,
  // no screen) when nothing listens there.
  bool connect(const std::filesystem::path& path, std::string_view processName, int64_t pid);
  // The same over a socket already connected (tests use a socketpair); the
  // link owns `fd` from now on.
  bool adopt(int fd, std::string_view processName, int64_t pid);
  // From now on, a failed connect() and a lost connection are followed by
  // new attempts to the same socket.
  void keepConnecting() { keepConnecting_ = true; }
  bool isConnected() const { return fd_ >= 0; }

  // Lays out and commits what changed now, instead of after this turn.
  void flush();

  // The render tree of a window as the link commits it.
  display::WindowTree windowTree(UIWindow& window) const;

  // The process's link, on the main queue, for the device of this process:
  // sets the main screen from the device's screen profile, then connects.
  // Later calls return the same link.
  static DisplayLink& startForProcess(std::string_view processName);

 private:
  // Moves the animations recorded in `window` since the last flush to the
  // running ones, as the page is to draw them.
  void takeAnimations(UIWindow& window, double now);
  // Forgets the animations that have ended by `now`.
  void pruneAnimations(double now);
  void scheduleFlush();
  // Queued (or sent) or not.
  bool send(const display::ClientMessage& message, bool dropIfFull);
  void writePending();
  void onReadable(short revents);
  void handle(const display::ServerMessage& message);
  void disconnect(std::string_view why);
  void rewatch();
  void scheduleRetry();

  runloop::RunLoop& loop_;
  std::filesystem::path deviceRoot_;
  size_t maxPendingBytes_;
  int fd_ = -1;
  runloop::WatchId watch_ = 0;
  bool watchingWrites_ = false;
  std::string pending_;
  size_t pendingOffset_ = 0;
  display::FrameReader reader_;
  bool flushPosted_ = false;
  bool flushing_ = false;
  bool resync_ = false;            // a commit was dropped: send every window
  std::set<int64_t> committed_{};  // windows backboardd has from us
  // Running animations by view, committed with every tree of their window
  // until they end; ids count up over the process's life.
  std::unordered_map<std::uint64_t, std::vector<display::Animation>> animations_{};
  int64_t nextAnimationId_ = 1;
  bool keepConnecting_ = false;
  bool saidNoScreen_ = false;  // the "without a screen" line was logged
  std::filesystem::path socketPath_{};
  std::string processName_{};
  int64_t pid_ = 0;
  std::chrono::milliseconds retryDelay_ = kFirstRetryDelay;
  runloop::TimerId retryTimer_ = 0;
  std::shared_ptr<bool> alive_;  // lets posted tasks see the link is gone
};

}  // namespace sentrel::uikit
