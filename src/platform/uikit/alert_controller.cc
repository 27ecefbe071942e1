#include "platform/uikit/alert_controller.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/log/system_log.h"
#include "platform/uikit/button.h"
#include "platform/uikit/label.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/table_view.h"
#include "platform/uikit/text_field.h"

namespace sentrel::uikit {

std::shared_ptr<UIAlertAction> UIAlertAction::actionWithTitle(std::string title,
                                                              UIAlertActionStyle style,
                                                              Handler handler) {
  return std::make_shared<UIAlertAction>(std::move(title), style, std::move(handler));
}

std::shared_ptr<UIAlertController> UIAlertController::alertControllerWithTitle(
    std::string title, std::string message, UIAlertControllerStyle style) {
  return std::make_shared<UIAlertController>(std::move(title), std::move(message), style);
}

UIAlertController::UIAlertController(std::string title, std::string message,
                                     UIAlertControllerStyle style)
    : message_(std::move(message)), style_(style) {
  setTitle(std::move(title));
  setModalPresentationStyle(UIModalPresentationStyle::kOverFullScreen);
}

void UIAlertController::addAction(const std::shared_ptr<UIAlertAction>& action) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  if (!action) {
    log::line("alert: a null action was not added", log::Level::kError);
    return;
  }
  if (action->style() == UIAlertActionStyle::kCancel &&
      std::any_of(actions_.begin(), actions_.end(),
                  [](const auto& a) { return a->style() == UIAlertActionStyle::kCancel; })) {
    log::line("alert: only one cancel action is allowed; \"" + action->title() + "\" not added",
              log::Level::kError);
    return;
  }
  actions_.push_back(action);
}

void UIAlertController::setPreferredAction(const std::shared_ptr<UIAlertAction>& action) {
  if (action && std::find(actions_.begin(), actions_.end(), action) == actions_.end()) {
    log::line("alert: the preferred action must be one of its actions", log::Level::kError);
    return;
  }
  preferred_ = action;
}

void UIAlertController::addTextFieldWithConfigurationHandler(TextFieldConfiguration configuration) {
  if (style_ != UIAlertControllerStyle::kAlert) {
    log::line("alert: text fields can only be added to alerts, not action sheets",
              log::Level::kError);
    return;
  }
  textFieldConfigurations_.push_back(std::move(configuration));
}

const std::vector<std::shared_ptr<UITextField>>& UIAlertController::textFields() {
  view();
  return textFields_;
}

bool UIAlertController::tapAction(const UIAlertAction* action) {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  auto it = std::find_if(actions_.begin(), actions_.end(),
                         [action](const auto& a) { return a.get() == action; });
  if (it == actions_.end() || !(*it)->isEnabled()) {
    log::line("alert: tap on an action that is not one of its enabled actions", log::Level::kError);
    return false;
  }
  if (tapped_ || !presentingViewController() || isBeingPresented() || isBeingDismissed()) {
    log::line("alert: tap refused, the alert is not on screen", log::Level::kError);
    return false;
  }
  tapped_ = true;
  std::shared_ptr<UIAlertAction> tapped = *it;
  dismissViewControllerAnimated(true, [tapped] {
    if (tapped->handler_) tapped->handler_(*tapped);
  });
  return true;
}

namespace {

constexpr double kCardWidth = 270;
constexpr double kCardMargin = 16;  // title and message, each side
constexpr double kActionHeight = 44;
constexpr double kScreenMargin = 40;  // the least room left above and below a card

std::shared_ptr<UILabel> alertLabel(const std::string& text, const Font& font) {
  auto label = std::make_shared<UILabel>();
  label->setText(text);
  label->setFont(font);
  label->setTextColor(UIColor::labelColor());
  label->setTextAlignment(NSTextAlignment::kCenter);
  label->setNumberOfLines(0);
  label->setPreferredMaxLayoutWidth(kCardWidth - 2 * kCardMargin);
  return label;
}

std::shared_ptr<UIView> hairline(const CGRect& frame) {
  auto line = std::make_shared<UIView>(frame);
  line->setBackgroundColor(UIColor::separatorColor());
  line->setUserInteractionEnabled(false);
  return line;
}

}  // namespace

// The alert as the platform draws it: the screen dimmed, a rounded card in
// its middle with the title (bold) and the message, and the actions below
// them: side by side when there are two, otherwise one per row with the
// cancel action last. A sheet is the same card at the bottom of the screen.
void UIAlertController::loadView() {
  const CGRect screen = UIScreen::mainScreen().bounds();
  auto root = std::make_shared<UIView>(screen);
  root->setBackgroundColor(UIColor::colorWithWhite(0, 0.4));
  const double hairlineWidth = 1.0 / UIScreen::mainScreen().scale();

  auto card = std::make_shared<UIView>();
  card->setBackgroundColor(
      UIColor::dynamic(UIColor::colorWithWhite(0.97, 1), UIColor::colorWithWhite(0.17, 1)));
  card->layer().setCornerRadius(14);
  card->setClipsToBounds(true);

  // The title, message and text fields scroll when they and the actions
  // would not fit on the screen: the actions always stay in view.
  auto content = std::make_shared<UIScrollView>();
  content->setClipsToBounds(true);
  double y = 0;
  const std::string& heading = title();
  if (!heading.empty() || !message_.empty()) y = 20;
  for (auto [text, font] :
       {std::pair{heading, Font::boldSystemFont(17)}, std::pair{message_, Font::systemFont(13)}}) {
    if (text.empty()) continue;
    auto label = alertLabel(text, font);
    const CGSize size = label->intrinsicContentSize();
    label->setFrame(CGRectMake(kCardMargin, y, kCardWidth - 2 * kCardMargin, size.height));
    content->addSubview(label);
    y += size.height + 4;
  }
  if (y > 0) y += 16;
  textFields_.clear();
  for (const TextFieldConfiguration& configure : textFieldConfigurations_) {
    auto field = std::make_shared<UITextField>();
    field->setBorderStyle(UITextBorderStyle::kRoundedRect);
    if (configure) configure(*field);
    const double height = field->intrinsicContentSize().height;
    field->setFrame(CGRectMake(kCardMargin, y - 8, kCardWidth - 2 * kCardMargin, height));
    content->addSubview(field);
    textFields_.push_back(field);
    y += height + 8;
  }

  // The cancel action goes last in a column, first (left) in a pair.
  std::vector<std::shared_ptr<UIAlertAction>> ordered = actions_;
  std::stable_partition(ordered.begin(), ordered.end(), [](const auto& action) {
    return action->style() != UIAlertActionStyle::kCancel;
  });
  const bool sideBySide = ordered.size() == 2 && style_ == UIAlertControllerStyle::kAlert;
  if (sideBySide) std::reverse(ordered.begin(), ordered.end());
  const double actionsHeight =
      ordered.empty()
          ? 0
          : (sideBySide ? kActionHeight : kActionHeight * static_cast<double>(ordered.size()));
  const double tallest = std::max(0.0, screen.size.height - 2 * kScreenMargin - actionsHeight);
  content->setFrame(CGRectMake(0, 0, kCardWidth, std::min(y, tallest)));
  content->setContentSize({kCardWidth, y});
  card->addSubview(content);
  y = content->frame().size.height;
  const double rowWidth = sideBySide ? kCardWidth / 2 : kCardWidth;
  std::weak_ptr<UIViewController> weakSelf = weak_from_this();
  for (size_t i = 0; i < ordered.size(); ++i) {
    const std::shared_ptr<UIAlertAction>& action = ordered[i];
    const double x = sideBySide ? static_cast<double>(i) * rowWidth : 0;
    const double top = sideBySide ? y : y + static_cast<double>(i) * kActionHeight;
    card->addSubview(hairline(CGRectMake(x, top, rowWidth, hairlineWidth)));
    if (sideBySide && i == 1)
      card->addSubview(hairline(CGRectMake(x, top, hairlineWidth, kActionHeight)));
    auto button = UIButton::buttonWithType(UIButtonType::kSystem);
    button->setFrame(CGRectMake(x, top, rowWidth, kActionHeight));
    button->setTitle(action->title(), UIControlStateNormal);
    const bool destructive = action->style() == UIAlertActionStyle::kDestructive;
    button->setTitleColor(destructive ? UIColor::systemRedColor() : UIColor::systemBlueColor(),
                          UIControlStateNormal);
    button->setTitleColor(UIColor::systemGrayColor(), UIControlStateDisabled);
    button->setTitleFont(action->style() == UIAlertActionStyle::kCancel ||
                                 action.get() == preferred_.get()
                             ? Font::boldSystemFont(17)
                             : Font::systemFont(17));
    button->setEnabled(action->isEnabled());
    const UIAlertAction* tapped = action.get();
    button->addTarget(
        this,
        [weakSelf, tapped](UIControl&, UIControlEvents) {
          auto self = std::static_pointer_cast<UIAlertController>(weakSelf.lock());
          if (self) self->tapAction(tapped);
        },
        UIControlEventTouchUpInside);
    card->addSubview(button);
  }
  y += actionsHeight;

  const double cardX = (screen.size.width - kCardWidth) / 2;
  const double cardY = style_ == UIAlertControllerStyle::kAlert ? (screen.size.height - y) / 2
                                                                : screen.size.height - y - 8;
  card->setFrame(CGRectMake(cardX, cardY, kCardWidth, y));
  root->addSubview(card);
  setView(root);
}

}  // namespace sentrel::uikit
