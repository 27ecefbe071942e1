// Plays one app of a device for the messaging tests; see peer_protocol.h.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "peer_protocol.h"
#include "platform/bundle/main_bundle.h"
#include "platform/notify/notification_center.h"
#include "platform/paths/device_paths.h"
#include "platform/runloop/run_loop.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/preftools.h"

namespace {

using namespace sentrel;

void report(const char* what, const plist::Value& value) {
  std::string line = std::string(what) + " " + testing::encodeForLine(value) + "\n";
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  paths::setDeviceRoot(argv[1]);
  const std::string bundle_id = argv[2];
  bundle::MainBundle identity;
  identity.bundle_identifier = bundle_id;
  identity.bundle_path = "/var/containers/Bundle/Application/PEER/Peer.app";
  identity.executable_path = "/var/containers/Bundle/Application/PEER/Peer.app/Peer";
  identity.process_name = "Peer";
  bundle::ScopedMainBundleOverride playing(identity);

  runloop::RunLoop& loop = runloop::MainQueue::get();
  SNTFirewall::load();
  SNTMessagingCenter::load();

  // Reports run after every handler of the same notification has run.
  notify::NotificationCenter& center = notify::distributedCenter();
  center.addObserver(kNewSettingsNotification, [](const std::string&, const plist::Value&) {
    runloop::asyncMain([] { report("global", SNTFirewall::current()->globalSettings()); });
  });
  center.addObserver(
      newAppSettingsNotificationName(bundle_id), [](const std::string&, const plist::Value&) {
        runloop::asyncMain([] { report("app", SNTFirewall::current()->appSettings()); });
      });

  std::string input;
  loop.watchFd(STDIN_FILENO, POLLIN, [&](short) {
    char buffer[4096];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      loop.quit();
      return;
    }
    input.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = input.find('\n')) != std::string::npos) {
      const std::string command = input.substr(0, newline);
      input.erase(0, newline + 1);
      if (command.rfind("save ", 0) == 0) {
        PrefHandler::saveSettings(testing::decodeFromLine(command.substr(5)), true);
      } else if (command == "quit") {
        loop.quit();
      }
    }
  });
  fputs("ready\n", stdout);
  fflush(stdout);
  loop.run();
  return 0;
}
