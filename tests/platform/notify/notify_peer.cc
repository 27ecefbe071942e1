// A second process for the multi-process tests. Usage: notify_peer <bus address>
//
// Observes "SNT_ALERT_CALLBACK_com.example.app" and answers each one with
// "SNT_TEST_ECHO" {"echo": <the user info, absent when null>}; on
// "SNT_TEST_QUIT" it posts "SNT_TEST_BYE" and exits 0. It announces itself
// with "SNT_TEST_PEER_READY" {"pid": <pid>} once it observes both names.
#include <unistd.h>

#include "platform/notify/notification_center.h"
#include "platform/runloop/run_loop.h"

using sentrel::plist::MutableDict;
using sentrel::plist::Value;

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  sentrel::runloop::RunLoop loop;
  auto made = sentrel::notify::makeBusCenter(argv[1], loop);
  if (!made) return 2;
  sentrel::notify::NotificationCenter& center = *made.value();

  center.addObserver("SNT_ALERT_CALLBACK_com.example.app",
                     [&](const std::string&, const Value& user_info) {
                       center.post("SNT_TEST_ECHO", MutableDict().set("echo", user_info).build());
                     });
  center.addObserver("SNT_TEST_QUIT", [&](const std::string&, const Value&) {
    center.post("SNT_TEST_BYE", Value());
    loop.quit();
  });
  center.post("SNT_TEST_PEER_READY", Value::dictOf({{"pid", Value::integer(getpid())}}));
  loop.run();
  return 0;
}
