// The supervisor at work: programs the injected library cannot see (static
// ones, raw system calls, io_uring, TCP Fast Open, a child with an empty
// environment) started through the device's launcher, each decided by the
// app's rules: asked about without one, cut off by a block, let through by
// an allow with their data arriving.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "firewall_fixture.h"

namespace sentrel {
namespace {

using namespace sentrel::testing;

// A loopback server on `address` that accepts and keeps what it is sent.
class Server {
 public:
  explicit Server(const char* address, int port = 0) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      v4->sin_port = htons(static_cast<uint16_t>(port));
      length = sizeof *v4;
    } else if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(static_cast<uint16_t>(port));
      length = sizeof *v6;
    }
    fd_ = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Fast Open connections are accepted with their data.
    int queue = 16;
    setsockopt(fd_, IPPROTO_TCP, TCP_FASTOPEN, &queue, sizeof queue);
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) == 0 &&
          listen(fd_, 4096) == 0 &&
          getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length) == 0;
    port_ = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    if (ok_) thread_ = std::thread([this] { serve(); });
  }
  ~Server() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  bool ok() const { return ok_; }
  std::string port() const { return std::to_string(port_); }
  int portNumber() const { return port_; }
  int accepted() const { return accepted_.load(); }
  std::string received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void serve() {
    while (!stop_) {
      int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (stop_) return;
        continue;
      }
      ++accepted_;
      char buffer[256];
      timeval wait{0, 200'000};
      setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n > 0) {
        std::lock_guard lock(mutex_);
        received_.append(buffer, static_cast<size_t>(n));
      }
      close(client);
    }
  }

  int fd_ = -1;
  bool ok_ = false;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

struct Way {
  const char* name;
  const char* program;
  std::vector<std::string> args;  // before ADDRESS PORT
  std::string expected_prefix;    // printed before the result
};

void PrintTo(const Way& way, std::ostream* out) {
  *out << way.name;
}

class AProgramTheLibraryCannotSee : public FirewalledDevice,
                                    public ::testing::WithParamInterface<Way> {
 protected:
  Outcome run(const char* host, const Server& server) {
    std::vector<std::string> args = GetParam().args;
    args.push_back(host);
    args.push_back(server.port());
    return probe(args);
  }
  std::string said(const std::string& result) { return GetParam().expected_prefix + result; }
};

TEST_P(AProgramTheLibraryCannotSee, IsAskedAboutAHostWithoutARule) {
  Server server("127.0.0.1");
  ASSERT_TRUE(server.ok());
  startDevice(Value(), kProbeId, GetParam().program);
  Outcome asked = run("127.0.0.1", server);
  EXPECT_EQ(asked.out, said("failed " + std::to_string(ENETUNREACH) + "\n")) << asked.err;
  ASSERT_TRUE(waitForAlerts(1));
  EXPECT_EQ(*alerts_.front().get("host").asString(), "127.0.0.1");
  EXPECT_EQ(*alerts_.front().get("bundle_id").asString(), kProbeId);
  EXPECT_EQ(alerts_.front().get("port").asInteger(), std::stoi(server.port()));
  EXPECT_TRUE(waitForLog("showSNTAlert called!"));
  EXPECT_EQ(server.accepted(), 0);
}

TEST_P(AProgramTheLibraryCannotSee, IsCutOffFromABlockedHost) {
  Server server("127.0.0.1");
  ASSERT_TRUE(server.ok());
  startDevice(appRules("127.0.0.1", 2), kProbeId, GetParam().program);
  Outcome blocked = run("127.0.0.1", server);
  EXPECT_EQ(blocked.out, said("failed " + std::to_string(ENETUNREACH) + "\n")) << blocked.err;
  EXPECT_EQ(server.accepted(), 0);
  EXPECT_TRUE(alerts_.empty());
}

TEST_P(AProgramTheLibraryCannotSee, ReachesAnAllowedHostWithItsData) {
  Server server("127.0.0.1");
  ASSERT_TRUE(server.ok());
  startDevice(appRules("127.0.0.1", 1), kProbeId, GetParam().program);
  Outcome allowed = run("127.0.0.1", server);
  EXPECT_EQ(allowed.out, said("connected\n")) << allowed.err;
  EXPECT_TRUE(
      loop_.runUntil([&] { return server.received() == "hello"; }, std::chrono::seconds(20)))
      << server.received();
  EXPECT_TRUE(alerts_.empty());
}

const Way kWays[] = {
    {"StaticLibc", SENTREL_STATIC_PROBE, {"libc"}, ""},
    {"StaticRawSyscall", SENTREL_STATIC_PROBE, {"raw"}, ""},
    {"StaticNonBlocking", SENTREL_STATIC_PROBE, {"nonblock"}, ""},
    {"DynamicRawSyscall", SENTREL_DYNAMIC_PROBE, {"raw"}, ""},
    {"DynamicIoUring", SENTREL_DYNAMIC_PROBE, {"uring"}, "uring 38 "},
    {"DynamicFastOpenSendto", SENTREL_DYNAMIC_PROBE, {"fastopen"}, ""},
    {"StaticFastOpenSendmsg", SENTREL_STATIC_PROBE, {"fastmsg"}, ""},
    {"DynamicChildWithAnEmptyEnvironment", SENTREL_DYNAMIC_PROBE, {"clean", "libc"}, ""},
    {"StaticChildWithAnEmptyEnvironment", SENTREL_STATIC_PROBE, {"clean", "raw"}, ""},
};
INSTANTIATE_TEST_SUITE_P(EveryWayOfConnecting, AProgramTheLibraryCannotSee,
                         ::testing::ValuesIn(kWays),
                         [](const auto& info) { return std::string(info.param.name); });

using ASupervisedApp = FirewalledDevice;

TEST_F(ASupervisedApp, IsDecidedForAnIPv6AddressGivenInTwentyFourBytes) {
  Server server("::1");
  ASSERT_TRUE(server.ok());
  startDevice(appRules("::1", 2), kProbeId, SENTREL_DYNAMIC_PROBE);
  const std::string unreachable = "failed " + std::to_string(ENETUNREACH) + "\n";
  // Through the library, and through the supervisor.
  EXPECT_EQ(probe({"short6", "::1", server.port()}).out, unreachable);
  EXPECT_EQ(cli({"open", kProbeId, "clean", "short6", "::1", server.port()}).out, unreachable);
  EXPECT_EQ(server.accepted(), 0);
}

TEST_F(ASupervisedApp, NeverReachesTheBlockedHostWhileAThreadRewritesTheAddress) {
  Server allowed("127.0.0.1");
  ASSERT_TRUE(allowed.ok());
  // Both on one port, so that only the address tells them apart.
  Server blocked("127.0.0.2", allowed.portNumber());
  ASSERT_TRUE(blocked.ok());
  plist::MutableDict domains;
  domains.set("127.0.0.1", Value::dictOf({{"allowed", Value::integer(1)}}));
  domains.set("127.0.0.2", Value::dictOf({{"allowed", Value::integer(2)}}));
  startDevice(
      Value::dictOf(
          {{"apps", Value::dictOf(
                        {{kProbeId, Value::dictOf({{"domains", std::move(domains).build()}})}})}}),
      kProbeId, SENTREL_STATIC_PROBE);
  Outcome raced = probe({"race", "127.0.0.1", "127.0.0.2", allowed.port(), "5000"});
  ASSERT_EQ(raced.out.rfind("connected ", 0), 0u) << raced.out << raced.err;
  EXPECT_GT(std::stoi(raced.out.substr(10)), 0);
  EXPECT_EQ(blocked.accepted(), 0);
}

TEST_F(ASupervisedApp, IsDecidedAsTheAppItWasLaunchedAsWhateverItsEnvironmentSays) {
  Server server("127.0.0.1");
  ASSERT_TRUE(server.ok());
  // The probe may not reach 127.0.0.1; another app may.
  plist::MutableDict apps;
  apps.set(
      kProbeId,
      Value::dictOf(
          {{"domains",
            Value::dictOf({{"127.0.0.1", Value::dictOf({{"allowed", Value::integer(2)}})}})}}));
  apps.set(
      "com.example.other",
      Value::dictOf(
          {{"domains",
            Value::dictOf({{"127.0.0.1", Value::dictOf({{"allowed", Value::integer(1)}})}})}}));
  startDevice(Value::dictOf({{"apps", std::move(apps).build()}}), kProbeId, SENTREL_DYNAMIC_PROBE);
  ASSERT_EQ(cli({"app", "install", "--id", "com.example.other", SENTREL_DYNAMIC_PROBE}).code, 0);
  std::string other_bundle;
  for (const auto& entry : fs::recursive_directory_iterator(root_.path() / "var/containers")) {
    if (entry.path().filename() == "Info.plist" &&
        slurp(entry.path()).find("com.example.other") != std::string::npos) {
      other_bundle = entry.path().parent_path().string();
    }
  }
  ASSERT_FALSE(other_bundle.empty());
  // The other app itself connects; the probe's child that names the other
  // app's bundle is decided by the library as that app, but not passed on
  // as decided: the supervisor decides it as the probe.
  EXPECT_EQ(cli({"open", "com.example.other", "libc", "127.0.0.1", server.port()}).out,
            "connected\n");
  EXPECT_EQ(probe({"as", other_bundle, "libc", "127.0.0.1", server.port()}).out,
            "failed " + std::to_string(ENETUNREACH) + "\n");
  EXPECT_EQ(server.accepted(), 1);
}

TEST_F(ASupervisedApp, CanNeitherSuperviseItselfNorTakeLaunchdsDescriptorsNorMakeSCTPSockets) {
  startDevice(Value(), kProbeId, SENTREL_STATIC_PROBE);
  Outcome status = cli({"device", "status"});
  // launchd's pid: the first process the status lists.
  const size_t at = status.out.find("launchd");
  ASSERT_NE(at, std::string::npos) << status.out;
  std::string digits;
  for (size_t i = status.out.find_first_of("0123456789", at);
       i < status.out.size() && std::isdigit(status.out[i]); ++i) {
    digits += status.out[i];
  }
  ASSERT_FALSE(digits.empty()) << status.out;
  Outcome walls = probe({"walls", digits});
  EXPECT_EQ(walls.out, "seccomp " + std::to_string(EPERM) + " getfd " + std::to_string(EPERM) +
                           " sctp " + std::to_string(EPROTONOSUPPORT) + " seqpacket " +
                           std::to_string(EPROTONOSUPPORT) + "\n")
      << walls.err;
}

}  // namespace
}  // namespace sentrel
