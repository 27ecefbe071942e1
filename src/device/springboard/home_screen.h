// SpringBoard's home screen: one window of the main screen's size, a status
// bar with the time, and the visible installed apps as a grid of icons with
// their names, four to a row, in display-name order. Tapping an icon asks to
// open that app.
//
// Main thread only (the main queue's thread).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/apps/installed_apps.h"
#include "platform/uikit/button.h"
#include "platform/uikit/label.h"
#include "platform/uikit/window.h"

namespace sentrel::springboard {

class HomeScreen {
 public:
  static constexpr int kColumns = 4;
  static constexpr double kStatusBarHeight = 44;
  static constexpr double kIconSize = 60;
  static constexpr double kCellHeight = 96;

  using OpenApp = std::function<void(const std::string& bundleId)>;

  // The apps of the grid: visible ones only, by display name
  // (case-insensitive, equal names by identifier).
  static std::vector<apps::AppRecord> gridApps(std::vector<apps::AppRecord> installed);

  // Builds the window (hidden) for `installed` apps.
  HomeScreen(std::vector<apps::AppRecord> installed, OpenApp open);
  ~HomeScreen();
  HomeScreen(const HomeScreen&) = delete;
  HomeScreen& operator=(const HomeScreen&) = delete;

  // Shows the window and keeps the clock going on the main queue.
  void show();
  // Replaces the grid with the icons of `installed` (an app installed or
  // removed while SpringBoard runs).
  void setApps(std::vector<apps::AppRecord> installed);
  // The status bar's time, "HH:MM" in local time.
  void setTime(const std::string& text);

  const std::shared_ptr<uikit::UIWindow>& window() const { return window_; }
  const uikit::UILabel& timeLabel() const { return *time_; }
  // The icons in grid order, with the bundle id each one opens.
  struct Icon {
    std::string identifier;
    std::shared_ptr<uikit::UIButton> button;
    std::shared_ptr<uikit::UILabel> name;
  };
  const std::vector<Icon>& icons() const { return icons_; }

 private:
  void tick();
  void addIcons(std::vector<apps::AppRecord> installed);

  OpenApp open_;
  std::shared_ptr<uikit::UIWindow> window_;
  std::shared_ptr<uikit::UILabel> time_;
  std::vector<Icon> icons_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace sentrel::springboard
