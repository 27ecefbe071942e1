// sentrel-webview-demo URL [--reload | --until-loaded]
//
// An app that loads URL in a headless web view and prints each navigation as
// it finishes:
//
//   loaded http://127.0.0.1:8080/ -> 200 (12 bytes)
//   failed http://blocked/example.com: blocked: host not found
//
// With --reload it reloads once after the first navigation finished. With
// --until-loaded it waits (for a firewall's answer, say) until a navigation
// loads a page, printing every one on the way. It exits after the last
// expected navigation: 0 when that one loaded, 1 when
// it failed, 2 on bad usage. Output goes to stdout, one flushed line at a
// time.
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <string>

#include "platform/foundation/foundation.h"
#include "platform/foundation/web_view.h"
#include "platform/runloop/run_loop.h"
#include "platform/runtime/runtime.h"

SENTREL_PROGRAM_REGISTERS_CLASSES();

namespace {

using namespace sentrel;
using namespace sentrel::foundation;

void printLine(const std::string& text) {
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const bool reload = argc == 3 && std::strcmp(argv[2], "--reload") == 0;
  const bool untilLoaded = argc == 3 && std::strcmp(argv[2], "--until-loaded") == 0;
  if (argc < 2 || argc > 3 || (argc == 3 && !reload && !untilLoaded)) {
    std::fprintf(stderr, "usage: %s URL [--reload | --until-loaded]\n",
                 argc > 0 ? argv[0] : "sentrel-webview-demo");
    return 2;
  }
  std::optional<URL> url = URL::URLWithString(argv[1]);
  if (!url) {
    std::fprintf(stderr, "sentrel-webview-demo: not a URL: %s\n", argv[1]);
    return 2;
  }
  registerFoundationClasses();
  runtime::classesLoaded();  // an injected library hooks the classes now

  // The main queue is the process's one: an injected library may already
  // run it on a thread of its own, and then this thread only waits.
  runloop::RunLoop& main_queue = runloop::MainQueue::get();
  std::promise<void> done;
  bool finished = false;  // on the main queue
  auto finish = [&] {
    if (finished) return;
    finished = true;
    done.set_value();
    main_queue.quit();
  };
  auto web_view = std::make_shared<WKWebView>();
  int expected = reload ? 2 : 1;
  int status = 1;
  web_view->setNavigationDelegate([&](const WebPage& page) {
    runloop::asyncMain([&, page] {  // bookkeeping on the main queue
      const std::string shown = page.url ? page.url->absoluteString() : "(no URL)";
      if (page.error) {
        printLine("failed " + shown + ": " + *page.error);
      } else {
        printLine("loaded " + shown + " -> " + std::to_string(page.statusCode) + " (" +
                  std::to_string(page.body.size()) + " bytes)");
      }
      status = page.error ? 1 : 0;
      if (untilLoaded) {
        if (!page.error) finish();
        return;
      }
      if (--expected == 0) {
        finish();
      } else if (!web_view->reload()) {
        printLine("nothing to reload");
        finish();
      }
    });
  });
  web_view->loadRequest(URLRequest(*url));
  if (main_queue.isRunningOnAnotherThread()) {
    done.get_future().wait();
  } else {
    main_queue.run();
  }
  web_view->setNavigationDelegate(nullptr);
  return status;
}
