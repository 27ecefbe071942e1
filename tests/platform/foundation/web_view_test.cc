// The headless web view: loads, the placeholder host, reloads, scheme handlers.
#include "platform/foundation/web_view.h"

#include <gtest/gtest.h>

#include "support.h"

namespace sentrel::foundation {
namespace {

using testing::LoopbackServer;
using testing::PageRecorder;

URLRequest requestFor(const std::string& text) {
  return URLRequest(URL::URLWithString(text));
}

// Answers every load with a fixed page, or keeps the loads' Finish for the
// test to call (or drops it).
class FixedHandler : public WKURLSchemeHandler {
 public:
  enum class Mode { kAnswer, kKeep, kDrop };
  explicit FixedHandler(Mode mode = Mode::kAnswer) : mode_(mode) {}

  void startURLSchemeTask(const URLRequest& request, Finish finish) override {
    requests.add(request);
    if (mode_ == Mode::kKeep) kept.add(finish);
    if (mode_ == Mode::kAnswer) finish(URLSchemeTaskResult{200, "from handler", std::nullopt});
  }

  testing::Recorder<URLRequest> requests;
  testing::Recorder<Finish> kept;

 private:
  const Mode mode_;
};

TEST(AWebView, HasTheNewUrlWhenALoadStartsAndThePageWhenItFinishes) {
  LoopbackServer server("<html>hi</html>");
  server.hold();
  auto web_view = std::make_shared<WKWebView>();
  PageRecorder pages(*web_view);

  std::shared_ptr<WKNavigation> navigation = web_view->loadRequest(requestFor(server.url("/a")));
  ASSERT_TRUE(navigation);
  EXPECT_EQ(navigation->request().url(), URL::URLWithString(server.url("/a")));
  EXPECT_EQ(web_view->URL(), URL::URLWithString(server.url("/a")));
  EXPECT_FALSE(web_view->page());

  server.release();
  ASSERT_TRUE(pages.waitFor(1));
  const WebPage page = pages.items()[0];
  EXPECT_EQ(page.navigation, navigation);
  EXPECT_EQ(page.statusCode, 200);
  EXPECT_EQ(page.body, "<html>hi</html>");
  EXPECT_FALSE(page.error);
  ASSERT_TRUE(web_view->page());
  EXPECT_EQ(web_view->page()->navigation, navigation);
}

TEST(AWebView, FailsThePlaceholderHostAtOnceWithoutFetchingIt) {
  auto web_view = std::make_shared<WKWebView>();
  PageRecorder pages(*web_view);
  web_view->loadRequest(requestFor("http://blocked/example.com"));
  EXPECT_EQ(web_view->URL(), URL::URLWithString("http://blocked/example.com"));
  ASSERT_TRUE(pages.waitFor(1));
  const WebPage page = pages.items()[0];
  // A fetched or resolved "blocked" fails with curl's own words instead.
  EXPECT_EQ(page.error, "blocked: host not found");
  EXPECT_EQ(page.body, "");
  EXPECT_EQ(page.statusCode, 0);
}

TEST(AWebView, ReloadsItsCurrentUrlAsANewNavigationAndNothingBeforeItHasOne) {
  LoopbackServer server;
  auto web_view = std::make_shared<WKWebView>();
  PageRecorder pages(*web_view);
  EXPECT_EQ(web_view->reload(), nullptr);
  auto first = web_view->loadRequest(requestFor(server.url("/page")));
  ASSERT_TRUE(pages.waitFor(1));

  auto second = web_view->reload();
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->request().url(), URL::URLWithString(server.url("/page")));
  ASSERT_TRUE(pages.waitFor(2));
  EXPECT_EQ(pages.items()[1].navigation, second);
  EXPECT_EQ(server.requestLines(),
            (std::vector<std::string>{"GET /page HTTP/1.1", "GET /page HTTP/1.1"}));
}

TEST(AWebView, HandsLoadsOfAHandledSchemeToItsHandler) {
  auto handler = std::make_shared<FixedHandler>();
  auto configuration = std::make_shared<WKWebViewConfiguration>();
  ASSERT_TRUE(configuration->setURLSchemeHandler(handler, "app-scheme"));
  auto web_view = std::make_shared<WKWebView>(configuration);
  EXPECT_EQ(web_view->configuration(), configuration);
  PageRecorder pages(*web_view);

  web_view->loadRequest(requestFor("APP-SCHEME://bundle/index.html"));
  ASSERT_TRUE(pages.waitFor(1));
  EXPECT_EQ(pages.items()[0].body, "from handler");
  EXPECT_EQ(pages.items()[0].statusCode, 200);
  ASSERT_EQ(handler->requests.count(), 1u);
  EXPECT_EQ(handler->requests.items()[0].url(),
            URL::URLWithString("app-scheme://bundle/index.html"));
}

TEST(AWebView, FailsALoadItsHandlerDropsUnanswered) {
  auto configuration = std::make_shared<WKWebViewConfiguration>();
  ASSERT_TRUE(configuration->setURLSchemeHandler(
      std::make_shared<FixedHandler>(FixedHandler::Mode::kDrop), "app"));
  auto web_view = std::make_shared<WKWebView>(configuration);
  PageRecorder pages(*web_view);
  web_view->loadRequest(requestFor("app://x/"));
  ASSERT_TRUE(pages.waitFor(1));
  EXPECT_TRUE(pages.items()[0].error);
}

TEST(AWebView, DropsTheResultOfASupersededNavigation) {
  LoopbackServer server("newer");
  auto slow = std::make_shared<FixedHandler>(FixedHandler::Mode::kKeep);
  auto configuration = std::make_shared<WKWebViewConfiguration>();
  ASSERT_TRUE(configuration->setURLSchemeHandler(slow, "slow"));
  auto web_view = std::make_shared<WKWebView>(configuration);
  PageRecorder pages(*web_view);

  web_view->loadRequest(requestFor("slow://older/"));
  auto newer = web_view->loadRequest(requestFor(server.url()));
  ASSERT_TRUE(pages.waitFor(1));
  ASSERT_TRUE(slow->kept.waitFor(1));
  slow->kept.items()[0](URLSchemeTaskResult{200, "older", std::nullopt});  // far too late

  EXPECT_EQ(web_view->page()->navigation, newer);
  EXPECT_EQ(web_view->page()->body, "newer");
  EXPECT_EQ(pages.items().size(), 1u);
}

TEST(AWebViewConfiguration, RefusesSchemesTheWebViewLoadsItselfAndSecondHandlers) {
  auto configuration = std::make_shared<WKWebViewConfiguration>();
  auto handler = std::make_shared<FixedHandler>();
  EXPECT_FALSE(configuration->setURLSchemeHandler(handler, "HTTPS"));
  EXPECT_FALSE(configuration->setURLSchemeHandler(handler, "not a scheme"));
  EXPECT_FALSE(configuration->setURLSchemeHandler(nullptr, "app"));
  EXPECT_TRUE(configuration->setURLSchemeHandler(handler, "app"));
  EXPECT_FALSE(configuration->setURLSchemeHandler(std::make_shared<FixedHandler>(), "APP"));
  EXPECT_EQ(configuration->urlSchemeHandlerForURLScheme("App"), handler);
  EXPECT_EQ(configuration->urlSchemeHandlerForURLScheme("https"), nullptr);
}

}  // namespace
}  // namespace sentrel::foundation
