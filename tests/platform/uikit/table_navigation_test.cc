// Tables and navigation as a finger uses them: rows built from a data
// source, taps that select, switches in rows, swipe to delete, scrolling,
// and a stack of pages whose appearance callbacks come in order.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/uikit/navigation_controller.h"
#include "platform/uikit/table_view.h"
#include "platform/uikit/value_controls.h"
#include "platform/uikit/window.h"

namespace sentrel::uikit {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

// Two sections: "Rules" (hosts, deletable, each with a switch) and one
// plain row.
class Source : public UITableViewDataSource, public UITableViewDelegate {
 public:
  std::vector<std::string> hosts{"a.com", "b.com", "c.com"};
  std::vector<IndexPath> selected;
  std::vector<IndexPath> deleted;
  std::vector<std::shared_ptr<UISwitch>> switches;
  long extraRows = 1;

  long numberOfSectionsInTableView(UITableView&) override { return 2; }
  long numberOfRowsInSection(UITableView&, long section) override {
    return section == 0 ? static_cast<long>(hosts.size()) : extraRows;
  }
  UITableViewCellRef cellForRowAtIndexPath(UITableView&, const IndexPath& path) override {
    auto cell = std::make_shared<UITableViewCell>(UITableViewCellStyle::kValue1);
    if (path.section == 0) {
      cell->textLabel().setText(hosts[static_cast<size_t>(path.row)]);
      auto toggle = std::make_shared<UISwitch>();
      switches.push_back(toggle);
      cell->setAccessoryView(toggle);
    } else {
      cell->textLabel().setText("More " + std::to_string(path.row));
      cell->setAccessoryType(UITableViewCellAccessoryType::kDisclosureIndicator);
    }
    return cell;
  }
  std::string titleForHeaderInSection(UITableView&, long section) override {
    return section == 0 ? "Rules" : "";
  }
  std::string titleForFooterInSection(UITableView&, long section) override {
    return section == 0 ? "On = Allow, Off = Block, Swipe to delete." : "";
  }
  bool canEditRowAtIndexPath(UITableView&, const IndexPath& path) override {
    return path.section == 0;
  }
  void commitEditingStyle(UITableView& table, UITableViewCellEditingStyle style,
                          const IndexPath& path) override {
    if (style != UITableViewCellEditingStyle::kDelete) return;
    deleted.push_back(path);
    hosts.erase(hosts.begin() + path.row);
    table.deleteRowsAtIndexPaths({path});
  }
  void didSelectRowAtIndexPath(UITableView&, const IndexPath& path) override {
    selected.push_back(path);
  }
};

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
    table_ = std::make_shared<UITableView>(CGRectMake(0, 0, 390, 844));
    table_->setDataSource(&source_);
    table_->setDelegate(&source_);
    window_->addSubview(table_);
    window_->makeKeyAndVisible();
    table_->reloadData();
  }
  void TearDown() override {
    for (const auto& w : UIApplication::sharedApplication().windows()) w->setHidden(true);
  }
  // The centre of a view, in the window.
  CGPoint centreOf(UIView& view) {
    const CGRect r = view.convertRect(view.bounds(), window_.get());
    return {r.origin.x + r.size.width / 2, r.origin.y + r.size.height / 2};
  }
  void touch(CGPoint at, UITouchPhase phase) {
    UITouch t;
    t.identifier = 1;
    t.locationInWindow = at;
    t.phase = phase;
    t.timestamp = ++time_;
    window_->sendTouch(t);
  }
  void tap(CGPoint at) {
    touch(at, UITouchPhase::kBegan);
    touch(at, UITouchPhase::kEnded);
  }
  void drag(CGPoint from, CGPoint to) {
    touch(from, UITouchPhase::kBegan);
    for (int step = 1; step <= 5; ++step) {
      touch({from.x + (to.x - from.x) * step / 5, from.y + (to.y - from.y) * step / 5},
            UITouchPhase::kMoved);
    }
    touch(to, UITouchPhase::kEnded);
  }

  runloop::FakeClock clock_;
  runloop::RunLoop loop_{clock_};
  runloop::MainQueue::ScopedOverride main_{loop_};
  Source source_;
  std::shared_ptr<UIWindow> window_;
  std::shared_ptr<UITableView> table_;
  double time_ = 0;
};

TEST_F(TableTest, BuildsSectionsWithHeadersFootersAndRowsInOrder) {
  ASSERT_EQ(table_->numberOfSections(), 2);
  EXPECT_EQ(table_->numberOfRowsInSection(0), 3);
  EXPECT_EQ(table_->headerLabelForSection(0)->text(), "Rules");
  EXPECT_EQ(table_->footerLabelForSection(0)->text(), "On = Allow, Off = Block, Swipe to delete.");
  EXPECT_EQ(table_->headerLabelForSection(1), nullptr);
  EXPECT_EQ(table_->cellForRowAtIndexPath({0, 1})->textLabel().text(), "b.com");
  // Rows follow each other; the second group starts below the first's footer.
  const CGRect first = table_->rectForRowAtIndexPath({0, 0});
  const CGRect second = table_->rectForRowAtIndexPath({0, 1});
  EXPECT_DOUBLE_EQ(second.origin.y, first.origin.y + UITableViewCell::kRowHeight);
  const CGRect footer = table_->footerLabelForSection(0)->frame();
  EXPECT_GT(table_->rectForRowAtIndexPath({1, 0}).origin.y, footer.origin.y + footer.size.height);
  EXPECT_EQ(table_->indexPathForRowAtPoint({first.origin.x + 5, second.origin.y + 5}),
            (IndexPath{0, 1}));
}

TEST_F(TableTest, ATapSelectsItsRowButATapOnARowsSwitchOnlyTogglesTheSwitch) {
  tap(centreOf(*table_->cellForRowAtIndexPath({1, 0})));
  EXPECT_EQ(source_.selected, (std::vector<IndexPath>{{1, 0}}));
  EXPECT_EQ(table_->indexPathForSelectedRow(), (IndexPath{1, 0}));

  UISwitch& toggle = *source_.switches[0];
  tap(centreOf(toggle));
  EXPECT_TRUE(toggle.isOn());
  EXPECT_EQ(source_.selected.size(), 1u) << "the switch's touch selected its row";

  // A row its owner made inert takes no taps.
  table_->cellForRowAtIndexPath({0, 2})->setUserInteractionEnabled(false);
  tap(centreOf(*table_->cellForRowAtIndexPath({0, 2})));
  EXPECT_EQ(source_.selected.size(), 1u);
}

TEST_F(TableTest, ASwipeRevealsDeleteOnlyOnEditableRowsAndItsTapCommitsThatRow) {
  // Not editable: a swipe shows nothing.
  const CGPoint other = centreOf(*table_->cellForRowAtIndexPath({1, 0}));
  drag(other, {other.x - 150, other.y});
  EXPECT_FALSE(table_->rowShowingDeleteButton());

  const CGPoint row = centreOf(*table_->cellForRowAtIndexPath({0, 1}));
  drag({row.x, row.y}, {row.x - 150, row.y});
  ASSERT_EQ(table_->rowShowingDeleteButton(), (IndexPath{0, 1}));
  EXPECT_TRUE(source_.selected.empty()) << "a swipe is not a tap";
  EXPECT_TRUE(source_.deleted.empty()) << "revealing is not deleting";

  // A tap elsewhere hides it; revealed again, a tap on it deletes the row.
  tap(centreOf(*table_->cellForRowAtIndexPath({0, 0})));
  EXPECT_FALSE(table_->rowShowingDeleteButton());
  EXPECT_TRUE(source_.selected.empty()) << "the tap that hides the button selects nothing";
  drag({row.x, row.y}, {row.x - 150, row.y});
  const CGRect rowRect = table_->cellForRowAtIndexPath({0, 1})->convertRect(
      table_->cellForRowAtIndexPath({0, 1})->bounds(), window_.get());
  tap({rowRect.origin.x + rowRect.size.width - 20, row.y});
  EXPECT_EQ(source_.deleted, (std::vector<IndexPath>{{0, 1}}));
  EXPECT_EQ(table_->numberOfRowsInSection(0), 2);
  EXPECT_EQ(table_->cellForRowAtIndexPath({0, 1})->textLabel().text(), "c.com");
}

TEST_F(TableTest, EditModeGivesEditableRowsADeleteControlThatRevealsTheButton) {
  table_->setEditing(true);
  const CGRect rect = table_->cellForRowAtIndexPath({0, 0})->convertRect(
      table_->cellForRowAtIndexPath({0, 0})->bounds(), window_.get());
  tap({rect.origin.x + UITableViewCell::kMargin + 8, rect.origin.y + rect.size.height / 2});
  EXPECT_EQ(table_->rowShowingDeleteButton(), (IndexPath{0, 0}));
  EXPECT_TRUE(source_.selected.empty());
  table_->setEditing(false);
  EXPECT_FALSE(table_->rowShowingDeleteButton());
}

TEST_F(TableTest, ContentTallerThanTheTableScrollsWithinItsEnds) {
  source_.extraRows = 40;
  table_->reloadData();
  const double content = table_->contentSize().height;
  ASSERT_GT(content, 844);
  const CGPoint at = centreOf(*table_->cellForRowAtIndexPath({1, 0}));
  drag(at, {at.x, at.y - 300});
  EXPECT_DOUBLE_EQ(table_->contentOffset().y, 300);
  EXPECT_TRUE(source_.selected.empty()) << "a scroll is not a tap";
  drag({at.x, 700}, {at.x, 700 - 5000});
  EXPECT_DOUBLE_EQ(table_->contentOffset().y, content - 844);
  drag({at.x, 100}, {at.x, 100 + 9000});
  EXPECT_DOUBLE_EQ(table_->contentOffset().y, 0);
  // A reload that leaves less content keeps the offset within it.
  table_->setContentOffset({0, content - 844});
  source_.extraRows = 1;
  table_->reloadData();
  EXPECT_DOUBLE_EQ(table_->contentOffset().y, 0);
}

// A phone's list of all its apps: hundreds of rows, each with its switch,
// laid out and scrolled to the end, where a tap still selects the last row.
// (Every row once took part in the window's constraint solve: minutes.)
TEST_F(TableTest, ATableOfHundredsOfRowsScrollsToItsLastRowAndSelectsIt) {
  source_.extraRows = 300;
  table_->reloadData();
  window_->layoutIfNeeded();
  const CGPoint at = centreOf(*table_->cellForRowAtIndexPath({1, 0}));
  drag({at.x, 700}, {at.x, 700 - 20000});
  window_->layoutIfNeeded();
  UITableViewCell* last = table_->cellForRowAtIndexPath({1, 299});
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->textLabel().text(), "More 299");
  tap(centreOf(*last));
  EXPECT_EQ(source_.selected, (std::vector<IndexPath>{{1, 299}}));
}

// ---- Navigation ----

class Page : public UIViewController {
 public:
  Page(std::string name, Events* events) : name_(std::move(name)), events_(events) {
    setTitle(name_);
  }
  void viewWillAppear(bool) override { note("viewWillAppear"); }
  void viewDidAppear(bool) override { note("viewDidAppear"); }
  void viewWillDisappear(bool) override { note("viewWillDisappear"); }
  void viewDidDisappear(bool) override { note("viewDidDisappear"); }

 private:
  void note(const std::string& what) { events_->push_back(name_ + "." + what); }
  std::string name_;
  Events* events_;
};

class NavigationTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    table_->removeFromSuperview();
    root_ = std::make_shared<Page>("Settings", &events_);
    navigation_ = UINavigationController::initWithRootViewController(root_);
    window_->setRootViewController(navigation_);
    events_.clear();
  }
  void settle() {
    for (int i = 0; i < 10; ++i) {
      clock_.advance(100ms);
      loop_.runUntilIdle();
    }
  }

  Events events_;
  std::shared_ptr<Page> root_;
  std::shared_ptr<UINavigationController> navigation_;
};

TEST_F(NavigationTest, PushAndPopTellBothPagesInOrderAndTheUncoveredPageAppearsAgain) {
  auto detail = std::make_shared<Page>("Sentrel", &events_);
  ASSERT_TRUE(navigation_->pushViewController(detail, true));
  EXPECT_FALSE(navigation_->pushViewController(std::make_shared<Page>("x", &events_), true))
      << "a push during a push";
  settle();
  EXPECT_EQ(events_, (Events{"Settings.viewWillDisappear", "Sentrel.viewWillAppear",
                             "Settings.viewDidDisappear", "Sentrel.viewDidAppear"}));
  EXPECT_EQ(detail->navigationController(), navigation_.get());
  EXPECT_EQ(navigation_->titleLabel().text(), "Sentrel");
  EXPECT_FALSE(navigation_->backButton().isHidden());
  EXPECT_EQ(navigation_->backButton().currentTitle(), "\u2039 Settings");
  EXPECT_EQ(root_->view()->superview(), nullptr) << "the covered page leaves the screen";

  events_.clear();
  tap(centreOf(navigation_->backButton()));
  settle();
  EXPECT_EQ(events_, (Events{"Sentrel.viewWillDisappear", "Settings.viewWillAppear",
                             "Sentrel.viewDidDisappear", "Settings.viewDidAppear"}));
  EXPECT_EQ(navigation_->viewControllers().size(), 1u);
  EXPECT_EQ(detail->navigationController(), nullptr);
  EXPECT_TRUE(navigation_->backButton().isHidden());
  EXPECT_EQ(navigation_->popViewControllerAnimated(true), nullptr) << "the root stays";
}

TEST_F(NavigationTest, TheTopPagesRightBarButtonRunsItsActionAndLongTitlesGoBackAsBack) {
  auto rules = std::make_shared<Page>("Global Firewall Rules Page", &events_);
  int added = 0;
  rules->navigationItem().setRightBarButtonItem(UIBarButtonItem::initWithBarButtonSystemItem(
      UIBarButtonSystemItem::kAdd, [&](UIBarButtonItem&) { ++added; }));
  navigation_->pushViewController(rules, false);
  ASSERT_NE(navigation_->rightBarButton(), nullptr);
  EXPECT_EQ(navigation_->rightBarButton()->currentTitle(), "+");
  tap(centreOf(*navigation_->rightBarButton()));
  EXPECT_EQ(added, 1);

  auto deeper = std::make_shared<Page>("Deeper", &events_);
  navigation_->pushViewController(deeper, false);
  EXPECT_EQ(navigation_->backButton().currentTitle(), "\u2039 Back");
  EXPECT_EQ(navigation_->rightBarButton(), nullptr) << "the bar shows the top page's items";
  EXPECT_EQ(navigation_->popToRootViewControllerAnimated(false).size(), 2u);
  EXPECT_EQ(navigation_->topViewController(), root_.get());
}

// A list page that sets its value on the page below and pops: the covered
// page's sheet is presented from the navigation controller, on screen, and
// the pop goes on under it.
TEST_F(NavigationTest, ACoveredPagePresentsFromTheNavigationControllerWhileTheTopPagePops) {
  auto list = std::make_shared<Page>("New App Policy", &events_);
  navigation_->pushViewController(list, false);
  settle();
  ASSERT_EQ(root_->view()->window(), nullptr) << "the covered page is off screen";
  auto sheet = std::make_shared<Page>("sheet", &events_);
  bool presented = false;
  root_->presentViewController(sheet, true, [&] { presented = true; });
  EXPECT_NE(navigation_->popViewControllerAnimated(true), nullptr);
  settle();
  EXPECT_TRUE(presented);
  EXPECT_EQ(navigation_->presentedViewController(), sheet.get());
  EXPECT_EQ(sheet->presentingViewController(), navigation_.get());
  EXPECT_NE(sheet->view()->window(), nullptr);
  EXPECT_EQ(navigation_->topViewController(), root_.get());

  bool dismissed = false;
  sheet->dismissViewControllerAnimated(true, [&] { dismissed = true; });
  settle();
  EXPECT_TRUE(dismissed);
  EXPECT_EQ(navigation_->presentedViewController(), nullptr);
  EXPECT_EQ(root_->view()->window(), window_.get());
}

}  // namespace
}  // namespace sentrel::uikit
