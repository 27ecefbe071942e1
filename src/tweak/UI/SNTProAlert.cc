#include "tweak/UI/SNTProAlert.h"

#include <utility>
#include <vector>

#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/uikit/color.h"
#include "platform/uikit/image.h"
#include "platform/uikit/label.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/stack_view.h"
#include "platform/uikit/text/font.h"
#include "tweak/SNTFirewall.h"

namespace sentrel {

using qvalert::QVAlertAction;
using qvalert::QVAlertActionConfiguration;
using qvalert::QVAlertActionConfigurationRef;
using qvalert::QVAlertActionRef;
using qvalert::QVAlertActionStyle;
using qvalert::QVAlertViewControllerConfiguration;
using qvalert::QVAlertViewTransitionStyle;
using uikit::UIColor;

namespace {

constexpr const char* kResourceBundle = "/Library/Application Support/ca.kelmora.sentrel.bundle";
constexpr double kGearHeight = 25;
constexpr double kHostControlWidth = 480;
constexpr double kSegmentTitleFontSize = 16;  // the decision control's titles

bool hasSystemColors() {
  return uikit::UIDevice::currentDevice().isSystemVersionAtLeast(13);
}
UIColor allowColor() {
  return hasSystemColors() ? UIColor::systemGreenColor() : UIColor::greenColor();
}
UIColor blockColor() {
  return hasSystemColors() ? UIColor::systemRedColor() : UIColor::redColor();
}

// A copy of `base` (or a fresh look) with these colours.
QVAlertActionConfigurationRef lookWith(const QVAlertActionConfigurationRef& base,
                                       const UIColor& color, bool invert) {
  auto look = base ? std::make_shared<QVAlertActionConfiguration>(*base)
                   : std::make_shared<QVAlertActionConfiguration>();
  look->setTitleColor(color);
  look->setInvert(invert);
  return look;
}

// `text` with every occurrence of `word` in bold.
uikit::AttributedText withBold(const std::string& text, const std::string& word, double size) {
  uikit::AttributedText attributed(text, uikit::Font::systemFont(size));
  if (word.empty()) return attributed;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size()))
    attributed.setBold(at, word.size());
  return attributed;
}

void activate(uikit::NSLayoutConstraint constraint, const char* what) {
  if (Status status = constraint.setActive(true); !status.ok())
    log::line(std::string("SNTProAlert: cannot size the ") + what + ": " + status.reason(),
              log::Level::kWarning);
}

// The toolkit makes the action buttons afresh each time the prompt is about
// to appear, from the actions' configurations; what a configuration cannot
// carry (the filled button's insets) is applied to the new buttons here.
class SNTProAlertViewController final : public SNTQVAlertViewController {
 public:
  using SNTQVAlertViewController::SNTQVAlertViewController;
  void viewWillAppear(bool animated) override {
    SNTQVAlertViewController::viewWillAppear(animated);
    if (auto record = std::dynamic_pointer_cast<SNTProAlert>(alert())) record->updateButtons(this);
  }
};

}  // namespace

std::string SNTProAlert::wildcardHost(const std::string& host) {
  std::vector<std::string> labels;
  size_t start = 0;
  while (start <= host.size()) {
    size_t dot = host.find('.', start);
    if (dot == std::string::npos) dot = host.size();
    if (dot > start) labels.push_back(host.substr(start, dot - start));
    start = dot + 1;
  }
  if (labels.empty()) return "*." + host;
  if (labels.size() == 1) return "*." + labels.back();
  return "*." + labels[labels.size() - 2] + "." + labels.back();
}

bool SNTProAlert::allowSegmentSelected() const {
  return segmentedControl_ == nullptr || segmentedControl_->selectedSegmentIndex() != 1;
}

std::shared_ptr<SNTQVAlertViewController> SNTProAlert::buildViewController(
    const std::string& message, bool animated) {
  auto configuration = QVAlertViewControllerConfiguration::create();
  configuration->setContentViewInset({12, 8, 8, 8});
  configuration->setAlertViewBackgroundColor(UIColor::colorWithRed(0.23, 0.23, 0.27, 1));
  configuration->setSeparatorColor(UIColor::colorWithRed(0.16, 0.16, 0.2, 1));
  configuration->setTitleTextColor(UIColor::whiteColor());
  configuration->setMessageTextColor(UIColor::whiteColor());

  const UIColor green = allowColor();
  auto button = lookWith(configuration->buttonConfiguration(), green, false);
  auto filled = lookWith(configuration->buttonConfiguration(), green, true);
  configuration->setButtonConfiguration(button);
  auto cancel =
      std::make_shared<QVAlertActionConfiguration>(*configuration->cancelButtonConfiguration());
  cancel->setTitleColor(UIColor::whiteColor());
  configuration->setCancelButtonConfiguration(cancel);
  configuration->setTransitionStyle(animated ? QVAlertViewTransitionStyle::kSlideFromTop
                                             : QVAlertViewTransitionStyle::kNone);

  std::weak_ptr<SNTProAlert> weak = std::static_pointer_cast<SNTProAlert>(shared_from_this());
  auto handler = [weak](void (SNTProAlert::*choice)()) {
    return [weak, choice](QVAlertAction&) {
      if (auto self = weak.lock()) ((*self).*choice)();
    };
  };
  std::vector<QVAlertActionRef> actions{
      QVAlertAction::initWithTitle("Allow once", QVAlertActionStyle::kDefault,
                                   handler(&SNTProAlert::chooseOnce)),
      QVAlertAction::initWithTitle("Allow always", QVAlertActionStyle::kDefault,
                                   handler(&SNTProAlert::chooseAlways), filled),
      QVAlertAction::initWithTitle("Allow all sites for this app", QVAlertActionStyle::kDefault,
                                   handler(&SNTProAlert::chooseAllSites)),
      QVAlertAction::initWithTitle("Allow site globally", QVAlertActionStyle::kDefault,
                                   handler(&SNTProAlert::chooseGlobally)),
  };
  if (!isResumable()) actions[kOnce]->setEnabled(false);

  std::shared_ptr<SNTQVAlertViewController> controller =
      std::make_shared<SNTProAlertViewController>(configuration, "", "", actions);
  controller->setAlert(shared_from_this());
  setAlertViewController(controller);
  controller->setAlertViewContentView(buildCustomView(message));
  updateButtons(controller.get());
  return controller;
}

uikit::UIViewRef SNTProAlert::buildCustomView(const std::string& message) {
  using namespace uikit;
  auto stack = std::make_shared<UIStackView>();
  stack->setAxis(UILayoutConstraintAxis::kVertical);
  stack->setSpacing(10);
  stack->setLayoutMargins({10, 10, 10, 10});

  auto title = std::make_shared<UILabel>();
  title->setText("Sentrel (" + std::to_string(alertsSnapshot().size()) + ")");
  title->setFont(Font::boldSystemFont(20));
  title->setTextColor(UIColor::whiteColor());
  title->setTextAlignment(NSTextAlignment::kCenter);
  stack->addArrangedSubview(title);

  auto body = std::make_shared<UILabel>();
  body->setAttributedText(withBold(message, host().value_or(""), 14));
  body->setNumberOfLines(5);
  body->setTextAlignment(NSTextAlignment::kCenter);
  body->setTextColor(UIColor::whiteColor());
  stack->addArrangedSubview(body);

  auto spacer = std::make_shared<UIView>();
  stack->addArrangedSubview(spacer);
  activate(spacer->heightAnchor().constraintEqualToConstant(15), "spacer");

  // Without a name the address is what the app asked for.
  const std::string shownHost = host().value_or(ip().value_or(""));
  hostControl_ = std::make_shared<UISegmentedControl>(
      std::vector<std::string>{shownHost, wildcardHost(shownHost)});
  hostControl_->setSelectedSegmentIndex(0);
  hostControl_->setEnabled(false);
  stack->addArrangedSubview(hostControl_);
  activate(hostControl_->widthAnchor().constraintEqualToConstant(kHostControlWidth),
           "host control");

  portControl_ = std::make_shared<UISegmentedControl>(std::vector<std::string>{
      "All ports", port() ? "This port (" + std::to_string(*port()) + ")" : "This port"});
  portControl_->setSelectedSegmentIndex(0);
  portControl_->setEnabled(false);
  stack->addArrangedSubview(portControl_);

  segmentedControl_ =
      std::make_shared<UISegmentedControl>(std::vector<std::string>{"Allow", "Block"});
  segmentedControl_->setSelectedSegmentIndex(0);
  segmentedControl_->setTitleFont(uikit::Font::systemFont(kSegmentTitleFontSize));
  segmentedControl_->setBackgroundColor(UIColor::grayColor());
  std::weak_ptr<SNTProAlert> weak = std::static_pointer_cast<SNTProAlert>(shared_from_this());
  segmentedControl_->addTarget(
      this,
      [weak](UIControl& sender, UIControlEvents) {
        if (auto self = weak.lock()) self->allowSegmentChanged(sender);
      },
      UIControlEventValueChanged);
  stack->addArrangedSubview(segmentedControl_);

  gearButton_ = UIButton::buttonWithType(UIButtonType::kCustom);
  UIImageRef gear = UIImage::imageNamed("gear", paths::resolve(kResourceBundle).string());
  gearButton_->setImage(gear, UIControlStateNormal);
  const double width = gear && gear->size().height > 0
                           ? kGearHeight * gear->size().width / gear->size().height
                           : kGearHeight;
  gearButton_->setFrame(CGRectMake(0, 0, width, kGearHeight));
  gearButton_->addTarget(
      this,
      [weak](UIControl&, UIControlEvents) {
        if (auto self = weak.lock()) self->openSettingsRequested();
      },
      UIControlEventTouchUpInside);
  stack->addSubview(gearButton_);
  return stack;
}

void SNTProAlert::allowSegmentChanged(uikit::UIControl&) {
  log::line("allowSegmentChanged");
  updateButtons(alertViewController().get());
}

void SNTProAlert::updateButtons(qvalert::QVAlertViewController* controller) {
  const bool allow = allowSegmentSelected();
  const std::string prefix = allow ? "Allow" : "Block";
  log::line("allowSegmentChanged: new prefix:" + prefix);
  if (controller == nullptr) return;
  const std::vector<QVAlertActionRef>& actions = controller->actions();
  if (actions.size() != kActionCount) {
    log::line("updateButtons: the prompt has " + std::to_string(actions.size()) + " actions, not " +
                  std::to_string(kActionCount),
              log::Level::kWarning);
    return;
  }
  const UIColor color = allow ? allowColor() : blockColor();

  QVAlertAction& once = *actions[kOnce];
  if (allow && !isResumable()) {
    once.setTitle(prefix + " once (unresumable)");
    once.setEnabled(false);
  } else {
    once.setTitle(prefix + " once");
    once.setEnabled(true);
  }

  QVAlertAction& always = *actions[kAlways];
  always.setTitle(prefix + " always");
  always.setConfiguration(lookWith(always.configuration(), color, true));
  if (auto button = always.actionButton()) {
    button->setBackgroundColor(color);
    button->setTitleColor(UIColor::whiteColor(), uikit::UIControlStateNormal);
    button->setTitleColor(UIColor::whiteColor(), uikit::UIControlStateHighlighted);
    button->setContentEdgeInsets({10, 10, 10, 10});
  }

  actions[kAllSites]->setTitle(prefix + " all sites for this app");
  actions[kGlobally]->setTitle(prefix + " site globally");
  for (size_t i : {kAllSites, kGlobally}) {
    QVAlertAction& action = *actions[i];
    action.setConfiguration(lookWith(action.configuration(), color, false));
    if (auto button = action.actionButton()) {
      button->setTitleColor(color, uikit::UIControlStateNormal);
      button->setTitleColor(color, uikit::UIControlStateHighlighted);
    }
  }
}

bool SNTProAlert::answered() const {
  if (state() != kSNTAlertStateHandled) return false;
  log::line("Prompt already answered: " + description());
  return true;
}

void SNTProAlert::answerAlways(bool allow) {
  if (state() == kSNTAlertStateHandled) {
    // Answered meanwhile (a rule appeared, a duplicate was answered): the
    // app has its answer, but the user's lasting choice is still stored.
    log::line("Prompt already answered, storing the choice: " + description());
    storeRule(allow);
    return;
  }
  if (allow) {
    allowAlways();
  } else {
    blockAlways();
  }
}

void SNTProAlert::chooseOnce() {
  log::line("Setting Host once:" + host().value_or("(null)"));
  if (answered()) return;
  handleWithCallback(callbackList(), allowSegmentSelected());
}

void SNTProAlert::chooseAlways() {
  log::line("Setting Host Always " + host().value_or("(null)"));
  answerAlways(allowSegmentSelected());
}

void SNTProAlert::chooseAllSites() {
  log::line("Setting All hosts Always " + host().value_or("(null)"));
  const bool allow = allowSegmentSelected();
  if (const std::shared_ptr<SNTFirewall>& fw = firewall()) {
    // The two switches exclude each other: deny-all wins over allow-all, so
    // a stale opposite switch would undo the user's choice.
    if (allow) {
      if (fw->denyAllOutbound()) fw->setDenyAllOutbound(false);
      fw->setAllowAllOutbound(true);
    } else {
      if (fw->allowAllOutbound()) fw->setAllowAllOutbound(false);
      fw->setDenyAllOutbound(true);
    }
  }
  answerAlways(allow);
}

void SNTProAlert::chooseGlobally() {
  log::line("Global Always " + host().value_or("(null)"));
  const bool allow = allowSegmentSelected();
  if (const std::shared_ptr<SNTFirewall>& fw = firewall()) {
    fw->setRuleGlobally(awaitingHostname() ? ip() : host(), url(), allow ? 1 : 2);
  }
  answerAlways(allow);
}

void SNTProAlert::openSettingsRequested() {
  log::line("openSettings: " + description());
  if (answered()) return;
  openSettings();
}

void installSNTProAlertFactory() {
  setSNTAlertFactory([] { return std::make_shared<SNTProAlert>(); });
}

}  // namespace sentrel
