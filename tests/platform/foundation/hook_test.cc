// Hooks installed with MSHookMessageEx see and steer the stand-ins' calls,
// as the firewall's hooks do. Hooks stay for the life of the process, so this
// binary installs each once and every test arms them afresh.
#include <gtest/gtest.h>

#include "platform/base/mutex.h"
#include "platform/foundation/foundation.h"
#include "platform/foundation/safari_view_controller.h"
#include "platform/foundation/signatures.h"
#include "platform/foundation/url_session.h"
#include "platform/foundation/web_view.h"
#include "support.h"

namespace sentrel::foundation {
namespace {

using runtime::id;
using runtime::SEL;
using testing::CompletionRecorder;
using testing::LoopbackServer;
using testing::PageRecorder;

enum class ResumeAction { kPass, kHold, kCancel };

struct Armed {
  Mutex mu;
  ResumeAction resume = ResumeAction::kPass;
  std::vector<std::shared_ptr<runtime::Object>> held;  // kept alive by the hook, as a prompt does
  bool to_placeholder = false;
  int loads = 0;
  int reloads = 0;
  std::optional<URL> safari_url;  // set: initialisers get this URL instead
};
Armed g_armed;

runtime::MethodFn<sig::Resume> g_resume = nullptr;
runtime::MethodFn<sig::LoadRequest> g_load = nullptr;
runtime::MethodFn<sig::Reload> g_reload = nullptr;
runtime::MethodFn<sig::InitWithURL> g_init = nullptr;
runtime::MethodFn<sig::InitWithURLConfiguration> g_init_configuration = nullptr;
runtime::MethodFn<sig::InitWithURLEntersReader> g_init_reader = nullptr;

void hookedResume(id self, SEL cmd) {
  ResumeAction action;
  {
    MutexLock lock(g_armed.mu);
    action = g_armed.resume;
    if (action == ResumeAction::kHold) g_armed.held.push_back(runtime::retain(self));
  }
  if (action == ResumeAction::kPass) g_resume(self, cmd);
  if (action == ResumeAction::kCancel) {
    runtime::msgSend<sig::Cancel>(self, runtime::sel_registerName("cancel"));
  }
}

std::shared_ptr<WKNavigation> hookedLoad(id self, SEL cmd, const URLRequest& request) {
  bool placeholder;
  {
    MutexLock lock(g_armed.mu);
    ++g_armed.loads;
    placeholder = g_armed.to_placeholder;
  }
  if (!placeholder) return g_load(self, cmd, request);
  return g_load(self, cmd,
                URLRequest(URL::URLWithString("http://blocked/" + request.url()->host().value())));
}

std::shared_ptr<WKNavigation> hookedReload(id self, SEL cmd) {
  {
    MutexLock lock(g_armed.mu);
    ++g_armed.reloads;
  }
  return g_reload(self, cmd);
}

URL safariURL(const URL& url) {
  MutexLock lock(g_armed.mu);
  return g_armed.safari_url ? *g_armed.safari_url : url;
}
id hookedInit(id self, SEL cmd, const URL& url) {
  return g_init(self, cmd, safariURL(url));
}
id hookedInitConfiguration(id self, SEL cmd, const URL& url,
                           const std::shared_ptr<SFSafariViewControllerConfiguration>& c) {
  return g_init_configuration(self, cmd, safariURL(url), c);
}
id hookedInitReader(id self, SEL cmd, const URL& url, bool enters) {
  return g_init_reader(self, cmd, safariURL(url), enters);
}

class HookedClasses : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool installed = [] {
      registerFoundationClasses();
      auto hook = [](const char* cls, const char* sel, auto replacement, auto* previous) {
        Status status = runtime::MSHookMessageEx(
            runtime::objc_getClass(cls), runtime::sel_registerName(sel), replacement, previous);
        EXPECT_TRUE(status.ok()) << status.reason();
      };
      hook("__NSCFURLSessionTask", "resume", &hookedResume, &g_resume);
      hook("WKWebView", "loadRequest:", &hookedLoad, &g_load);
      hook("WKWebView", "reload", &hookedReload, &g_reload);
      hook("SFSafariViewController", "initWithURL:", &hookedInit, &g_init);
      hook("SFSafariViewController", "initWithURL:configuration:", &hookedInitConfiguration,
           &g_init_configuration);
      hook("SFSafariViewController", "initWithURL:entersReaderIfAvailable:", &hookedInitReader,
           &g_init_reader);
      return true;
    }();
    (void)installed;
  }
  void SetUp() override {
    MutexLock lock(g_armed.mu);
    g_armed.resume = ResumeAction::kPass;
    g_armed.loads = g_armed.reloads = 0;
    g_armed.held.clear();
    g_armed.to_placeholder = false;
    g_armed.safari_url.reset();
  }
  template <class T>
  static void arm(T Armed::*field, T value) {
    MutexLock lock(g_armed.mu);
    g_armed.*field = std::move(value);
  }
  static int count(int Armed::*field) {
    MutexLock lock(g_armed.mu);
    return g_armed.*field;
  }
};

TEST_F(HookedClasses, AResumeHookCanHoldATaskItKeepsAliveAndResumeItLater) {
  arm(&Armed::resume, ResumeAction::kHold);
  LoopbackServer server;
  CompletionRecorder recorder;
  std::weak_ptr<URLSessionTask> weak;
  {
    auto task = URLSession::sharedSession().dataTaskWithURL(*URL::URLWithString(server.url()),
                                                            recorder.handler());
    weak = task;
    task->resume();
    EXPECT_EQ(task->state(), URLSessionTaskState::kSuspended);
  }
  std::shared_ptr<runtime::Object> held;
  {
    MutexLock lock(g_armed.mu);
    ASSERT_EQ(g_armed.held.size(), 1u);
    held = g_armed.held[0];
  }
  EXPECT_EQ(held, weak.lock());  // the only owner left is the hook
  EXPECT_EQ(server.requests(), 0u);

  g_resume(held.get(), runtime::sel_registerName("resume"));  // the user allowed it
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(recorder.items()[0].data, "hello");
}

TEST_F(HookedClasses, AResumeHookCanCancelTheTaskInstead) {
  arm(&Armed::resume, ResumeAction::kCancel);
  LoopbackServer server;
  CompletionRecorder recorder;
  URLSession::sharedSession()
      .dataTaskWithURL(*URL::URLWithString(server.url()), recorder.handler())
      ->resume();
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(recorder.items()[0].error->code, -999);
  EXPECT_EQ(server.requests(), 0u);
}

TEST_F(HookedClasses, ALoadHookCanSendTheWebViewToThePlaceholder) {
  arm(&Armed::to_placeholder, true);
  LoopbackServer server;
  auto web_view = std::make_shared<WKWebView>();
  PageRecorder pages(*web_view);
  web_view->loadRequest(URLRequest(URL::URLWithString(server.url("/secret"))));
  EXPECT_EQ(web_view->URL(), URL::URLWithString("http://blocked/127.0.0.1"));
  ASSERT_TRUE(pages.waitFor(1));
  EXPECT_EQ(pages.items()[0].error, "blocked: host not found");
  EXPECT_EQ(server.requests(), 0u);
}

TEST_F(HookedClasses, AReloadIsOneCallToHookAndNoSecondLoad) {
  LoopbackServer server;
  auto web_view = std::make_shared<WKWebView>();
  PageRecorder pages(*web_view);
  web_view->loadRequest(URLRequest(URL::URLWithString(server.url())));
  ASSERT_TRUE(pages.waitFor(1));
  ASSERT_TRUE(web_view->reload());
  ASSERT_TRUE(pages.waitFor(2));
  EXPECT_EQ(count(&Armed::loads), 1);
  EXPECT_EQ(count(&Armed::reloads), 1);
  EXPECT_EQ(server.requests(), 2u);
}

TEST_F(HookedClasses, InitialiserHooksCanSwapTheUrlAndPassTheRestOn) {
  arm(&Armed::safari_url, URL::URLWithString("http://blocked/"));
  const URL url = *URL::URLWithString("https://example.com/");
  auto configuration = std::make_shared<SFSafariViewControllerConfiguration>();

  auto plain = std::make_shared<SFSafariViewController>();
  EXPECT_EQ(plain->initWithURL(url), plain.get());
  auto configured = std::make_shared<SFSafariViewController>();
  EXPECT_EQ(configured->initWithURL(url, configuration), configured.get());
  auto reader = std::make_shared<SFSafariViewController>();
  EXPECT_EQ(reader->initWithURL(url, true), reader.get());

  for (auto* controller : {plain.get(), configured.get(), reader.get()}) {
    EXPECT_EQ(controller->URL(), URL::URLWithString("http://blocked/"));
  }
  EXPECT_EQ(configured->configuration(), configuration);
  EXPECT_TRUE(reader->entersReaderIfAvailable());
}

}  // namespace
}  // namespace sentrel::foundation
