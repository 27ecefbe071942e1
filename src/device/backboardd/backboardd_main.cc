// backboardd: the device's display server. launchd starts it before
// SpringBoard and restarts it when it dies.
//   backboardd [--screen WxH@S]
// The device root comes from the environment, as for every device process.
// UI processes connect to <root>/var/run/sentrel/display.socket; the screen
// is a page served on 127.0.0.1 under a random token, whose URL is written
// to <root>/var/run/sentrel/screen.url (mode 0600) and to the system log.
// The page draws text with the very font files UI processes measure with
// (found through fontconfig as the toolkit finds them), served as web fonts.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/display/display_server.h"
#include "platform/display/screen_profile.h"
#include "platform/display/screen_server.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/runloop/run_loop.h"
#include "platform/uikit/text/font.h"
#include "platform/uikit/text/font_files.h"
#include "platform/uikit/text/font_library.h"

namespace {

namespace fs = std::filesystem;
using namespace sentrel;

// Replaces `path` with `text` in one step, readable by the user only.
Status writePrivateFile(const fs::path& path, const std::string& text) {
  const fs::path temporary = path.string() + ".new";
  unlink(temporary.c_str());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Status::FromErrno("cannot create " + temporary.string());
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      Status failed = Status::FromErrno("cannot write " + temporary.string());
      close(fd);
      unlink(temporary.c_str());
      return failed;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    Status failed = Status::FromErrno("cannot replace " + path.string());
    unlink(temporary.c_str());
    return failed;
  }
  return Status::Ok();
}

// The system font's files, one per weight text runs carry, and its line
// height as the toolkit measures it. Missing files are logged: the page then
// draws with the browser's own fonts.
void useSystemFont(display::ScreenOptions& options) {
  std::string error;
  std::optional<uikit::FontFilePaths> paths = uikit::findSystemFontFiles(&error);
  if (!paths) {
    log::line("backboardd: " + error + "; the screen draws text with the browser's fonts",
              log::Level::kWarning);
    return;
  }
  for (const uikit::WebFont& font : uikit::systemWebFonts(*paths)) {
    options.fonts.push_back(display::WebFontFile{.family = font.family,
                                                 .weight = font.weight,
                                                 .style = display::FontStyle::kNormal,
                                                 .path = font.path});
  }
  uikit::FontLibrary library(*paths);
  if (library.ok()) {
    options.line_height_ems = library.metrics(uikit::Font::systemFont(100)).line_height / 100;
  }
}

int run(const display::ScreenProfile& profile) {
  const fs::path root = paths::deviceRoot();

  // SIGTERM (launchd stopping the device) and SIGINT end the loop, so the
  // socket and the URL file are cleaned up.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signal_fd < 0) {
    log::line("backboardd: signalfd failed");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);

  runloop::RunLoop loop;
  std::unique_ptr<display::DisplayServer> display;
  display::ScreenHandlers handlers;
  handlers.on_touch = [&display](const display::Touch& touch) {
    if (display) display->deliverTouch(touch);
  };
  handlers.on_key_text = [&display](const display::KeyText& text) {
    if (display) display->deliverKeyText(text);
  };
  display::ScreenOptions options;
  options.screen =
      display::ScreenSize{static_cast<double>(profile.width), static_cast<double>(profile.height)};
  options.image_root = root;  // the token: 32 random hex digits
  useSystemFont(options);
  auto screen = display::ScreenServer::start(loop, std::move(handlers), options);
  if (!screen) {
    log::line("backboardd: cannot serve the screen: " + screen.reason());
    return 1;
  }
  display::ScreenServer& page = **screen;
  display = std::make_unique<display::DisplayServer>(
      loop,
      [&page](std::vector<display::WindowTree> windows) { page.showWindows(std::move(windows)); });
  if (Status listening = display->listen(display::displaySocketPath(root)); !listening) {
    log::line("backboardd: " + listening.reason());
    return 1;
  }

  const fs::path url_file = display::screenUrlPath(root);
  const std::string url = page.pageUrl();
  if (Status written = writePrivateFile(url_file, url + "\n"); !written) {
    log::line("backboardd: " + written.reason());
    return 1;
  }
  log::line("backboardd serving the screen at " + url);

  runloop::WatchId signal_watch = loop.watchFd(signal_fd, POLLIN, [&loop, signal_fd](short) {
    signalfd_siginfo info{};
    while (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    loop.quit();
  });
  loop.run();
  loop.unwatchFd(signal_watch);
  close(signal_fd);
  display.reset();
  screen->reset();
  // Only our own URL: a newer backboardd may have written its own already.
  std::error_code error;
  if (fs::exists(url_file, error)) {
    FILE* in = fopen(url_file.c_str(), "re");
    char line[512] = {};
    if (in) {
      if (!fgets(line, sizeof line, in)) line[0] = '\0';
      fclose(in);
    }
    if (std::string(line) == url + "\n") fs::remove(url_file, error);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  namespace display = sentrel::display;
  display::ScreenProfile profile;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--screen" && i + 1 < argc) {
      auto parsed = display::parseScreenProfile(argv[++i]);
      if (!parsed) {
        fprintf(stderr, "backboardd: %s\n", parsed.reason().c_str());
        return 2;
      }
      profile = *parsed;
    } else {
      fprintf(stderr, "backboardd: unknown argument %s\nusage: backboardd [--screen WxH@S]\n",
              arg.c_str());
      return 2;
    }
  }
  return run(profile);
}
