// The interceptor and the socket hook under threads: hook threads register
// prompt requests and connect while the main queue answers them and the
// settings change underneath.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "firewall_test_env.h"
#include "platform/hook/connect_hook.h"
#include "tweak/CHooks.h"
#include "tweak/UI/SNTAlert.h"
#include "tweak/intercept.h"

namespace sentrel {
namespace {

using plist::Value;
using testing::FirewallTestEnv;

TEST(TheInterceptorUnderThreads, AnswersEveryRequestOnceWhileOthersAreStillComing) {
  FirewallTestEnv env;
  env.writeSettings(Value::dictOf({}));
  SNTFirewall::current();
  SNTInterceptor interceptor(env.center());
  constexpr int kThreads = 4;
  constexpr int kRequests = 50;
  std::atomic<int> answered{0};
  std::atomic<int> twice{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        auto once = std::make_shared<std::atomic<bool>>(false);
        auto callback = [&, once](bool) {
          if (once->exchange(true)) ++twice;
          ++answered;
        };
        if (i % 2 == 0) {
          interceptor.showFirewallAlert(
              URLRequest(URL::URLWithString("https://h" + std::to_string(t) + "-" +
                                            std::to_string(i) + ".example.com/")),
              callback);
        } else {
          interceptor.showUnResumableFirewallAlert(
              "10.0." + std::to_string(t) + "." + std::to_string(i), 443, kUnresumableWarning,
              callback);
        }
      }
    });
  }
  // The main queue answers whatever is pending, as the answers arrive.
  const int total = kThreads * kRequests;
  env.runUntilIdle();
  for (int round = 0; answered < total && round < 100000; ++round) {
    for (const auto& [id, alert] : interceptor.requestedAlerts()) {
      interceptor.handleAlertForId(id, round % 2 == 0);
      interceptor.handleAlertForId(id, true);  // a duplicate finds nothing
    }
    env.runUntilIdle();
    std::this_thread::yield();
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& [id, alert] : interceptor.requestedAlerts())
    interceptor.handleAlertForId(id, false);
  EXPECT_EQ(answered, total);
  EXPECT_EQ(twice, 0);
  EXPECT_TRUE(interceptor.requestedAlerts().empty());
}

TEST(TheConnectHookUnderThreads, DecidesEveryCallWhileTheRulesChange) {
  FirewallTestEnv env;
  env.writeSettings(Value::dictOf({}));
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current();
  initializeCHooks();
  const Value blocked = Value::dictOf(
      {{"domains",
        Value::dictOf({{"127.0.0.2", testing::rule(2)}, {"127.0.0.1", testing::rule(1)}})}});
  const Value allowed = Value::dictOf(
      {{"domains",
        Value::dictOf({{"127.0.0.2", testing::rule(1)}, {"127.0.0.1", testing::rule(1)}})}});
  firewall->setAppSettings(blocked);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(1);  // nobody listens: an allowed call is refused by the kernel
      inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
      while (!stop) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        // Either whole answer, never anything else.
        if (result != -1 || (errno != ENETUNREACH && errno != ECONNREFUSED)) ++wrong;
        close(fd);
      }
    });
  }
  for (int i = 0; i < 200; ++i) firewall->setAppSettings(i % 2 == 0 ? allowed : blocked);
  stop = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(hook::MSHookFunction(hook::kConnect, hook::realConnect(), nullptr).ok());
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace sentrel
