#include "device/springboard/home_screen.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <string_view>

#include "platform/runloop/run_loop.h"
#include "platform/uikit/image.h"
#include "platform/uikit/screen.h"

namespace sentrel::springboard {
namespace {

using uikit::CGRectMake;
using uikit::UIColor;

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// The first character of a name (a whole UTF-8 sequence), upper-cased when
// it is an ASCII letter.
std::string initial(const std::string& name) {
  if (name.empty()) return "?";
  size_t length = 1;
  while (length < name.size() && length < 4 &&
         (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80)
    ++length;
  std::string out = name.substr(0, length);
  if (length == 1) out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  return out;
}

// A steady colour per app for icons without a picture.
UIColor placeholderColor(const std::string& identifier) {
  static const UIColor palette[] = {
      UIColor::systemBlueColor(),
      UIColor::systemGreenColor(),
      UIColor::systemOrangeColor(),
      UIColor::systemRedColor(),
      UIColor::colorWithRed(0.55, 0.35, 0.85, 1),
      UIColor::colorWithRed(0.2, 0.65, 0.7, 1),
  };
  const size_t n = sizeof(palette) / sizeof(palette[0]);
  return palette[std::hash<std::string>{}(identifier) % n];
}

std::string localTime() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  char text[8];
  std::strftime(text, sizeof(text), "%H:%M", &parts);
  return text;
}

}  // namespace

std::vector<apps::AppRecord> HomeScreen::gridApps(std::vector<apps::AppRecord> installed) {
  std::erase_if(installed, [](const apps::AppRecord& app) { return !app.isVisible(); });
  std::stable_sort(installed.begin(), installed.end(),
                   [](const apps::AppRecord& a, const apps::AppRecord& b) {
                     const std::string la = lowered(a.display_name);
                     const std::string lb = lowered(b.display_name);
                     if (la != lb) return la < lb;
                     return a.identifier < b.identifier;
                   });
  // Two bundles with one identifier: the first stands for it.
  std::vector<apps::AppRecord> out;
  for (auto& app : installed) {
    bool seen = std::any_of(out.begin(), out.end(), [&](const apps::AppRecord& other) {
      return other.identifier == app.identifier;
    });
    if (!seen) out.push_back(std::move(app));
  }
  return out;
}

HomeScreen::HomeScreen(std::vector<apps::AppRecord> installed, OpenApp open)
    : open_(std::move(open)) {
  const uikit::CGRect screen = uikit::UIScreen::mainScreen().bounds();
  window_ = std::make_shared<uikit::UIWindow>(screen);
  window_->setWindowLevel(uikit::UIWindowLevelNormal);
  window_->setBackgroundColor(UIColor::colorWithRed(0.09, 0.16, 0.32, 1));

  time_ = std::make_shared<uikit::UILabel>();
  time_->setFrame(CGRectMake(0, 0, screen.size.width, kStatusBarHeight));
  time_->setFont(uikit::Font::systemFont(15, uikit::FontWeight::kSemibold));
  time_->setTextColor(UIColor::whiteColor());
  time_->setTextAlignment(uikit::NSTextAlignment::kCenter);
  window_->addSubview(time_);
  addIcons(std::move(installed));
}

void HomeScreen::setApps(std::vector<apps::AppRecord> installed) {
  for (const Icon& icon : icons_) icon.button->removeFromSuperview();
  icons_.clear();
  addIcons(std::move(installed));
}

void HomeScreen::addIcons(std::vector<apps::AppRecord> installed) {
  const uikit::CGRect screen = uikit::UIScreen::mainScreen().bounds();
  const double cellWidth = screen.size.width / kColumns;
  const double top = kStatusBarHeight + 16;
  size_t index = 0;
  for (apps::AppRecord& app : gridApps(std::move(installed))) {
    const double x = static_cast<double>(index % kColumns) * cellWidth;
    const double y = top + static_cast<double>(index / kColumns) * kCellHeight;
    ++index;

    auto button = uikit::UIButton::buttonWithType(uikit::UIButtonType::kCustom);
    button->setFrame(CGRectMake(x, y, cellWidth, kCellHeight));
    const uikit::CGRect iconFrame =
        CGRectMake((cellWidth - kIconSize) / 2, 4, kIconSize, kIconSize);
    uikit::UIImageRef picture =
        app.icon_path ? uikit::UIImage::imageWithContentsOfFile(app.icon_path->string()) : nullptr;
    if (picture) {
      auto icon = std::make_shared<uikit::UIImageView>(picture);
      icon->setFrame(iconFrame);
      icon->layer().setCornerRadius(13);
      icon->setClipsToBounds(true);
      icon->setUserInteractionEnabled(false);
      button->addSubview(icon);
    } else {
      auto icon = std::make_shared<uikit::UIView>(iconFrame);
      icon->setBackgroundColor(placeholderColor(app.identifier));
      icon->layer().setCornerRadius(13);
      icon->setUserInteractionEnabled(false);
      auto letter = std::make_shared<uikit::UILabel>();
      letter->setText(initial(app.display_name));
      letter->setFont(uikit::Font::systemFont(28, uikit::FontWeight::kSemibold));
      // A label centres its text in its height, as on the platform.
      letter->setFrame(CGRectMake(0, 0, kIconSize, kIconSize));
      letter->setTextColor(UIColor::whiteColor());
      letter->setTextAlignment(uikit::NSTextAlignment::kCenter);
      icon->addSubview(letter);
      button->addSubview(icon);
    }
    auto name = std::make_shared<uikit::UILabel>();
    name->setFrame(CGRectMake(4, 4 + kIconSize + 6, cellWidth - 8, 16));
    name->setText(app.display_name);
    name->setFont(uikit::Font::systemFont(12));
    name->setTextColor(UIColor::whiteColor());
    name->setTextAlignment(uikit::NSTextAlignment::kCenter);
    name->setUserInteractionEnabled(false);
    button->addSubview(name);

    const std::string identifier = app.identifier;
    button->addTarget(
        this,
        [this, identifier](uikit::UIControl&, uikit::UIControlEvents) {
          if (open_) open_(identifier);
        },
        uikit::UIControlEventTouchUpInside);
    window_->addSubview(button);
    icons_.push_back({identifier, button, name});
  }
}

HomeScreen::~HomeScreen() {
  *alive_ = false;
  window_->setHidden(true);
}

void HomeScreen::show() {
  window_->makeKeyAndVisible();
  tick();
}

void HomeScreen::setTime(const std::string& text) {
  if (time_->text() != text) time_->setText(text);
}

void HomeScreen::tick() {
  setTime(localTime());
  // Again at the start of the next minute.
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto intoMinute = now % std::chrono::minutes(1);
  std::weak_ptr<bool> alive = alive_;
  runloop::afterMain(std::chrono::minutes(1) - intoMinute, [this, alive] {
    if (auto live = alive.lock(); live && *live) tick();
  });
}

}  // namespace sentrel::springboard
