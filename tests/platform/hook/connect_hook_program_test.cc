// The interposer preloaded into real programs: our probe client and curl,
// talking to loopback servers of this test, with libsentrel_hooktest.so
// denying one port.
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <algorithm>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/hook/loopback.h"
#include "platform/spawn/spawn.h"
#include "support/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SENTREL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SENTREL_SANITIZED 1
#endif
#endif

namespace sentrel::hook {
namespace {

using testing::Fd;
using testing::LoopbackSocket;

// Serves one short HTTP answer to every connection until destroyed.
class HttpServer {
 public:
  HttpServer() : thread_([this] { serve(); }) {}
  ~HttpServer() {
    ::shutdown(socket_.fd(), SHUT_RDWR);  // wakes accept()
    thread_.join();
  }
  uint16_t port() const { return socket_.port(); }

 private:
  void serve() {
    for (;;) {
      Fd client(::accept4(socket_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
      if (client.get() < 0) return;
      std::string request;
      char buffer[1024];
      ssize_t n;
      while (request.find("\r\n\r\n") == std::string::npos &&
             (n = ::read(client.get(), buffer, sizeof buffer)) > 0) {
        request.append(buffer, static_cast<size_t>(n));
      }
      static constexpr char kAnswer[] =
          "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
      [[maybe_unused]] ssize_t written = ::write(client.get(), kAnswer, sizeof kAnswer - 1);
    }
  }

  LoopbackSocket socket_{AF_INET, SOCK_STREAM};
  std::thread thread_;
};

// Shared sanitizer runtimes this test runs with: a sanitized library can only
// be preloaded after them.
std::vector<std::string> sanitizerRuntimes() {
  std::vector<std::string> found;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        std::string name = info->dlpi_name ? info->dlpi_name : "";
        for (const char* runtime : {"libasan.so", "libtsan.so", "libubsan.so", "liblsan.so"}) {
          if (name.find(runtime) != std::string::npos) {
            static_cast<std::vector<std::string>*>(data)->push_back(name);
          }
        }
        return 0;
      },
      &found);
  return found;
}

struct ProgramRun {
  spawn::ExitStatus status;
  std::string out;
  std::string err;
};

class APreloadedConnectHook : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> runtimes = sanitizerRuntimes();
#ifdef SENTREL_SANITIZED
    if (runtimes.empty()) GTEST_SKIP() << "the sanitizer runtime is not a shared library";
#endif
    for (const std::string& runtime : runtimes) preload_ += runtime + ":";
    preload_ += SENTREL_HOOKTEST_LIBRARY;
  }

  // Runs `argv` with the test library preloaded; `deny_port` 0 sets no port.
  ProgramRun runPreloaded(const std::vector<std::string>& argv, uint16_t deny_port) {
    spawn::Options options;
    options.environment = {{"LD_PRELOAD", preload_},
                           {"ASAN_OPTIONS", "detect_leaks=0"},
                           {"SENTREL_HOOKTEST_LOAD_LOG", (dir_.path() / "loads").string()}};
    if (deny_port != 0) {
      options.environment.emplace_back("SENTREL_HOOKTEST_DENY_PORT", std::to_string(deny_port));
    }
    auto out_path = dir_.path() / "out";
    auto err_path = dir_.path() / "err";
    Fd out(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    Fd err(::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    options.stdin_ = spawn::Stdio::devNull();
    options.stdout_ = spawn::Stdio::fromFd(out.get());
    options.stderr_ = spawn::Stdio::fromFd(err.get());
    Result<pid_t> child = spawn::spawnProcess(argv[0], argv, options);
    if (!child.ok()) throw std::runtime_error(child.reason());
    // Bounded: a child that does not end within a minute is killed (and
    // then fails the test by its signal).
    Fd exited(static_cast<int>(::syscall(SYS_pidfd_open, *child, 0)));
    pollfd ended{exited.get(), POLLIN, 0};
    if (exited.get() < 0 || ::poll(&ended, 1, 60'000) != 1) ::kill(*child, SIGKILL);
    Result<spawn::ExitStatus> status = spawn::waitForExit(*child);
    if (!status.ok()) throw std::runtime_error(status.reason());
    return {*status, read(out_path), read(err_path)};
  }

  static std::string read(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  ::sentrel::testing::TempDir dir_;
  std::string preload_;
};

TEST_F(APreloadedConnectHook, FailsTheDeniedPortOfAProgramWithENETUNREACHAndConnectsOthers) {
  LoopbackSocket denied(AF_INET, SOCK_STREAM);  // listening: only the hook can refuse it
  LoopbackSocket allowed(AF_INET, SOCK_STREAM);
  const std::string client = SENTREL_HOOK_PROBE_CLIENT;

  ProgramRun to_denied = runPreloaded({client, std::to_string(denied.port())}, denied.port());
  EXPECT_TRUE(to_denied.status.success());
  EXPECT_EQ(to_denied.out, "failed " + std::to_string(ENETUNREACH) + "\n");
  EXPECT_EQ(to_denied.err, "");

  ProgramRun to_allowed = runPreloaded({client, std::to_string(allowed.port())}, denied.port());
  EXPECT_EQ(to_allowed.out, "connected\n");
  EXPECT_EQ(to_allowed.err, "");

  ProgramRun unconfigured = runPreloaded({client, std::to_string(denied.port())}, 0);
  EXPECT_EQ(unconfigured.out, "connected\n");
  EXPECT_EQ(unconfigured.err, "");
}

TEST_F(APreloadedConnectHook, BlocksCurlOnTheDeniedPortAndLetsItFetchFromAnother) {
  const std::string curl = "/usr/bin/curl";
  if (::access(curl.c_str(), X_OK) != 0) GTEST_SKIP() << "curl is not installed";
#ifdef SENTREL_SANITIZED
  // curl hangs with a preloaded sanitizer runtime, hook or no hook.
  GTEST_SKIP() << "curl cannot run with a preloaded sanitizer runtime";
#endif
  HttpServer denied;
  HttpServer allowed;
  auto url = [](uint16_t port) { return "http://127.0.0.1:" + std::to_string(port) + "/"; };
  // --noproxy: an inherited proxy setting must not take the request elsewhere.
  std::vector<std::string> common = {curl, "-s", "--noproxy", "*", "--max-time", "20"};

  std::vector<std::string> fetch_allowed = common;
  fetch_allowed.push_back(url(allowed.port()));
  ProgramRun ok = runPreloaded(fetch_allowed, denied.port());
  EXPECT_TRUE(ok.status.success()) << "curl exit code " << ok.status.code;
  EXPECT_EQ(ok.out, "hello");
  EXPECT_EQ(ok.err, "");

  std::vector<std::string> fetch_denied = common;
  fetch_denied.push_back(url(denied.port()));
  ProgramRun blocked = runPreloaded(fetch_denied, denied.port());
  EXPECT_EQ(blocked.status, spawn::ExitStatus::exited(7));  // curl: could not connect
  EXPECT_EQ(blocked.out, "");
  EXPECT_EQ(blocked.err, "");
}

// The device's injector preloaded instead of the tweak library, with the
// test library as the tweak library beside it (libSentrel.so).
class TheInjector : public APreloadedConnectHook {
 protected:
  void SetUp() override {
    APreloadedConnectHook::SetUp();
    if (IsSkipped()) return;
    const std::filesystem::path lib = dir_.path() / "lib";
    std::filesystem::create_directory(lib);
    std::filesystem::copy_file(SENTREL_INJECT_LIBRARY, lib / "libinject.so");
    std::filesystem::copy_file(SENTREL_HOOKTEST_LIBRARY, lib / "libSentrel.so");
    preload_.replace(preload_.rfind(SENTREL_HOOKTEST_LIBRARY), std::string::npos,
                     (lib / "libinject.so").string());
  }
  // The processes that loaded the tweak library, in order.
  std::vector<std::string> loads() const {
    std::istringstream lines(read(dir_.path() / "loads"));
    std::vector<std::string> pids;
    for (std::string word, pid; lines >> word >> pid;) pids.push_back(pid);
    return pids;
  }
  static std::string failed(int error) { return "failed " + std::to_string(error) + "\n"; }

  const std::string probe_ = SENTREL_INJECT_PROBE;
};

TEST_F(TheInjector, LoadsTheTweakLibraryOnlyIntoAProgramThatReachesTheNetwork) {
  LoopbackSocket denied(AF_INET, SOCK_STREAM);
  LoopbackSocket allowed(AF_INET, SOCK_STREAM);

  EXPECT_TRUE(runPreloaded({"/bin/true"}, denied.port()).status.success());
  EXPECT_TRUE(runPreloaded({probe_, "none"}, denied.port()).status.success());
  // A local socket is never examined: it passes through without the library.
  ProgramRun local = runPreloaded({probe_, "unix", (dir_.path() / "absent").string()}, 0);
  EXPECT_EQ(local.out, failed(ENOENT));
  EXPECT_EQ(loads(), std::vector<std::string>{}) << "nothing reached the network yet";

  ProgramRun to_denied =
      runPreloaded({probe_, "tcp", std::to_string(denied.port())}, denied.port());
  EXPECT_EQ(to_denied.out, failed(ENETUNREACH)) << "the tweak library decided";
  EXPECT_EQ(to_denied.err, "");
  ProgramRun to_allowed =
      runPreloaded({probe_, "tcp", std::to_string(allowed.port())}, denied.port());
  EXPECT_EQ(to_allowed.out, "connected\n");
  EXPECT_EQ(loads().size(), 2u);
}

TEST_F(TheInjector, LoadsItAtStartIntoAProgramThatRegistersClasses) {
  ProgramRun run = runPreloaded({SENTREL_INJECT_PROBE_WITH_CLASSES, "none"}, 0);
  EXPECT_TRUE(run.status.success());
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(loads().size(), 1u);
}

// A handler's connect must never be the one that loads the library (the
// handler may have interrupted the allocator): a program that installs one
// gets the library then.
TEST_F(TheInjector, LoadsItWhenAProgramInstallsASignalHandler) {
  EXPECT_TRUE(runPreloaded({probe_, "handler"}, 0).status.success());
  EXPECT_EQ(loads().size(), 1u);
  EXPECT_TRUE(runPreloaded({probe_, "signal"}, 0).status.success());
  EXPECT_EQ(loads().size(), 2u);
  // Every other way the C library has of installing one.
  size_t expected = 2;
  for (const char* way : {"sigset", "bsd_signal", "sysv_signal", "__sigaction"}) {
    EXPECT_TRUE(runPreloaded({probe_, way}, 0).status.success()) << way;
    EXPECT_EQ(loads().size(), ++expected) << way;
  }
  // A held signal has no handler.
  EXPECT_TRUE(runPreloaded({probe_, "hold"}, 0).status.success());
  EXPECT_EQ(loads().size(), expected);
}

TEST_F(TheInjector, LoadsItOnceForRacingThreadsAndInAChildForkedFromAThreadedProgram) {
  LoopbackSocket denied(AF_INET, SOCK_STREAM);
  LoopbackSocket allowed(AF_INET, SOCK_STREAM);
  ProgramRun racing =
      runPreloaded({probe_, "threads", std::to_string(allowed.port()), "16"}, denied.port());
  EXPECT_EQ(racing.out, "16 connected\n");
  EXPECT_EQ(loads().size(), 1u);

  ProgramRun forked = runPreloaded({probe_, "fork", std::to_string(denied.port())}, denied.port());
  EXPECT_TRUE(forked.status.success());
  EXPECT_EQ(forked.out, failed(ENETUNREACH)) << "the child's connect was decided by the library";
  EXPECT_EQ(loads().size(), 2u);
}

TEST_F(TheInjector, RefusesExaminedConnectsQuietlyWhenTheTweakLibraryIsMissing) {
  std::filesystem::remove(dir_.path() / "lib" / "libSentrel.so");
  LoopbackSocket listening(AF_INET, SOCK_STREAM);
  ProgramRun run = runPreloaded({probe_, "tcp", std::to_string(listening.port())}, 0);
  EXPECT_TRUE(run.status.success());
  EXPECT_EQ(run.out, failed(ENETUNREACH)) << "a firewall that cannot decide lets nothing through";
  EXPECT_EQ(run.err, "");
  ProgramRun local = runPreloaded({probe_, "unix", (dir_.path() / "absent").string()}, 0);
  EXPECT_EQ(local.out, failed(ENOENT));
  ProgramRun with_classes = runPreloaded({SENTREL_INJECT_PROBE_WITH_CLASSES, "none"}, 0);
  EXPECT_TRUE(with_classes.status.success());
  EXPECT_EQ(with_classes.err, "");
}

// What `command` prints; fails the test when it cannot run or fails.
std::string outputOf(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr) << command;
  if (pipe == nullptr) return out;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) out += line;
  EXPECT_EQ(::pclose(pipe), 0) << command << " failed";
  return out;
}

// The functions a shared library exports, sorted.
std::vector<std::string> exportedFunctions(const std::string& library) {
  std::istringstream lines(outputOf("nm -D --defined-only " + library));
  std::vector<std::string> functions;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name && type == "T") functions.push_back(name);
  }
  std::sort(functions.begin(), functions.end());
  return functions;
}

// What every program of the device loads: its hooks alone, no C++ runtime.
TEST(TheInjectorLibrary, ExportsOnlyItsHooksAndNeedsNoCxxRuntime) {
  EXPECT_EQ(exportedFunctions(SENTREL_INJECT_LIBRARY),
            (std::vector<std::string>{"__sigaction", "__sysv_signal", "bsd_signal", "connect",
                                      "fork", "sigaction", "signal", "sigset", "sysv_signal"}));
  const std::string dynamic = outputOf("readelf -d " SENTREL_INJECT_LIBRARY);
  EXPECT_EQ(dynamic.find("libstdc++"), std::string::npos) << dynamic;
}

// connect, and the entry the URL loading system uses to keep its own
// connections out of the hook.
TEST(TheConnectHookTestLibrary, ExportsNoFunctionButConnectAndTheURLLoadingEntry) {
  EXPECT_EQ(exportedFunctions(SENTREL_HOOKTEST_LIBRARY),
            (std::vector<std::string>{"connect", "sentrel_connect_url_loading_thread_v1"}));
}

}  // namespace
}  // namespace sentrel::hook
