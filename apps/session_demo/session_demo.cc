// sentrel-session-demo URL...
//
// An app that fetches every URL on its command line with a data task of the
// shared URL session, all at once, and prints one line per task as it
// completes:
//
//   GET http://127.0.0.1:8080/ -> 200 (12 bytes)
//   GET http://127.0.0.1:9/ -> error -1004 Failed to connect to 127.0.0.1 port 9 ...
//
// After resuming every task it prints "waiting for N task(s)". It exits 0
// when every task got a response below 400, 1 otherwise, 2 on bad usage.
// Output goes to stdout, one flushed line at a time.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/application.h"
#include "platform/foundation/signatures.h"
#include "platform/foundation/url_session.h"
#include "platform/runloop/run_loop.h"

SENTREL_PROGRAM_REGISTERS_CLASSES();

namespace {

using namespace sentrel;
using namespace sentrel::foundation;

void printLine(const std::string& text) {
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// Main queue only.
struct Progress {
  size_t pending = 0;
  bool failed = false;

  void done(bool ok) {
    failed = failed || !ok;
    if (--pending == 0) UIApplication::terminate(failed ? 1 : 0);
  }
};

void applicationDidFinishLaunching(runtime::id self, runtime::SEL, runtime::id application) {
  auto* app = static_cast<UIApplication*>(application);
  const std::vector<std::string>& arguments = app->arguments();
  auto progress = std::make_shared<Progress>();
  std::vector<std::shared_ptr<URLSessionTask>> tasks;
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::optional<URL> url = URL::URLWithString(arguments[i]);
    if (!url) {
      printLine("GET " + arguments[i] + " -> error: not a URL");
      progress->failed = true;
      continue;
    }
    ++progress->pending;
    const std::string text = url->absoluteString();
    tasks.push_back(URLSession::sharedSession().dataTaskWithURL(
        *url, [progress, text](std::string data, std::optional<URLResponse> response,
                               std::optional<URLError> error) {
          // Completions come on global-queue threads; the bookkeeping and the
          // printing happen on the main queue, one task at a time.
          runloop::asyncMain([progress, text, size = data.size(), response, error] {
            if (error) {
              printLine("GET " + text + " -> error " + std::to_string(error->code) + " " +
                        error->description);
              progress->done(false);
            } else {
              const long status = response ? response->statusCode : 0;
              printLine("GET " + text + " -> " + std::to_string(status) + " (" +
                        std::to_string(size) + " bytes)");
              progress->done(status > 0 && status < 400);
            }
          });
        }));
  }
  if (tasks.empty()) {
    UIApplication::terminate(1);
    return;
  }
  for (const auto& task : tasks) task->resume();
  printLine("waiting for " + std::to_string(tasks.size()) + " task(s)");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s URL...\n", argc > 0 ? argv[0] : "sentrel-session-demo");
    return 2;
  }
  Result<runtime::Class> cls = registerApplicationClass("SessionDemoApplication");
  if (!cls.ok()) {
    std::fprintf(stderr, "sentrel-session-demo: %s\n", cls.reason().c_str());
    return 1;
  }
  runtime::class_addMethod(
      *cls, runtime::sel_registerName("applicationDidFinishLaunching:"),
      static_cast<runtime::MethodFn<sig::DidFinishLaunching>>(&applicationDidFinishLaunching));
  return UIApplicationMain(argc, argv, "SessionDemoApplication");
}
