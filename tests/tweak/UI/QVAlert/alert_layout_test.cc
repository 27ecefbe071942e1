// The alert's configuration, its card and its buttons, laid out in a window.
#include <gtest/gtest.h>

#include <string>

#include "tweak/UI/QVAlert/UIView+Additions.h"
#include "tweak/UI/QVAlert/alert_fixture.h"

namespace sentrel::qvalert {
namespace {

TEST(QVAlertConfigurationTest, DefaultsAndSharing) {
  auto c = QVAlertViewControllerConfiguration::create();
  EXPECT_TRUE(c->showsStatusBar());
  EXPECT_FALSE(c->backgroundTapDismissalGestureEnabled());
  EXPECT_FALSE(c->swipeDismissalGestureEnabled());
  EXPECT_FALSE(c->alwaysArrangesActionButtonsVertically());
  EXPECT_TRUE(c->showsSeparators());
  EXPECT_EQ(c->transitionStyle(), QVAlertViewTransitionStyle::kSlideFromTop);
  EXPECT_EQ(c->alertViewBackgroundColor(), UIColor::whiteColor());
  EXPECT_DOUBLE_EQ(c->alertViewCornerRadius(), 6.0);
  EXPECT_EQ(c->titleTextColor(), UIColor::darkGrayColor());
  EXPECT_EQ(c->messageTextColor(), UIColor::darkGrayColor());
  EXPECT_EQ(c->separatorColor(), UIColor::lightGrayColor());
  EXPECT_EQ(c->titleFont(), Font::preferredFont(TextStyle::kHeadline));
  EXPECT_EQ(c->messageFont(), Font::preferredFont(TextStyle::kSubheadline));
  EXPECT_EQ(c->contentViewInset(), UIEdgeInsets{});

  // Three separate button looks; only the destructive and cancel ones differ.
  const QVAlertActionConfiguration& plain = *c->buttonConfiguration();
  EXPECT_FALSE(plain.invert());
  EXPECT_EQ(plain.titleFont(), Font::preferredFont(TextStyle::kBody));
  EXPECT_EQ(plain.titleColor(), UIColor::darkGrayColor());
  EXPECT_EQ(plain.disabledTitleColor(), UIColor::grayColor());
  EXPECT_NE(c->buttonConfiguration(), c->cancelButtonConfiguration());
  EXPECT_NE(c->buttonConfiguration(), c->destructiveButtonConfiguration());
  const UIColor red = c->destructiveButtonConfiguration()->titleColor();
  EXPECT_EQ(red.red(), 1.0);
  EXPECT_EQ(red.green(), static_cast<double>(0.23f));
  EXPECT_EQ(red.blue(), static_cast<double>(0.21f));
  EXPECT_EQ(c->cancelButtonConfiguration()->titleFont(), Font::preferredFont(TextStyle::kHeadline));
  EXPECT_EQ(c->cancelButtonConfiguration()->titleColor(), UIColor::darkGrayColor());
  c->setButtonConfiguration(nullptr);  // never null
  EXPECT_NE(c->buttonConfiguration(), nullptr);

  // An alert keeps the very configuration it is given, or makes a default one.
  auto alert = QVAlertViewController::initWithOptions(c, "t", "m", {});
  EXPECT_EQ(alert->configuration(), c);
  auto plainAlert = QVAlertViewController::initWithOptions(nullptr, "t", "m", {});
  ASSERT_NE(plainAlert->configuration(), nullptr);
  EXPECT_NE(plainAlert->configuration(), c);
  EXPECT_FALSE(plainAlert->prefersStatusBarHidden());
  c->setShowsStatusBar(false);
  EXPECT_TRUE(alert->prefersStatusBarHidden());
  EXPECT_EQ(alert->modalPresentationStyle(), UIModalPresentationStyle::kCustom);
  EXPECT_EQ(alert->transitioningDelegate().get(),
            static_cast<UIViewControllerTransitioningDelegate*>(alert.get()));
  EXPECT_FALSE(alert->panGestureRecognizer()->isEnabled());
}

TEST(QVAlertPinTest, PinsToEdgesOrMarginsAndAssertsASuperview) {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 200, 100));
  auto box = std::make_shared<UIView>(CGRectMake(10, 10, 100, 50));
  box->setLayoutMargins({1, 2, 3, 4});
  window->addSubview(box);
  auto edges = std::make_shared<UIView>();
  auto margins = std::make_shared<UIView>();
  box->addSubview(edges);
  box->addSubview(margins);
  qv_pinEdgesToSuperviewEdges(*edges);
  qv_pinEdgesToSuperviewMargins(*margins);
  EXPECT_FALSE(edges->translatesAutoresizingMaskIntoConstraints());
  window->layoutIfNeeded();
  EXPECT_EQ(edges->frame(), CGRectMake(0, 0, 100, 50));
  EXPECT_EQ(margins->frame(), CGRectMake(2, 1, 94, 46));

  auto orphan = std::make_shared<UIView>();
  for (auto pin : {&qv_pinEdgesToSuperviewEdges, &qv_pinEdgesToSuperviewMargins}) {
    try {
      pin(*orphan);
      ADD_FAILURE() << "no assertion";
    } catch (const QVAssertionFailure& failure) {
      EXPECT_STREQ(failure.what(), "Superview must be nonnull");
      EXPECT_STREQ(failure.file(), "UI/QVAlert/UIView+Additions");
    }
    EXPECT_TRUE(orphan->translatesAutoresizingMaskIntoConstraints());  // unchanged
  }
}

TEST_F(AlertTest, TwoActionsSitSideBySideOtherCountsStack) {
  struct Case {
    int count;
    bool alwaysVertical;
    UILayoutConstraintAxis axis;
  };
  for (const Case& c : {Case{1, false, UILayoutConstraintAxis::kVertical},
                        Case{2, false, UILayoutConstraintAxis::kHorizontal},
                        Case{3, false, UILayoutConstraintAxis::kVertical},
                        Case{2, true, UILayoutConstraintAxis::kVertical}}) {
    SCOPED_TRACE(std::to_string(c.count) + (c.alwaysVertical ? " always vertical" : ""));
    auto config = QVAlertViewControllerConfiguration::create();
    config->setAlwaysArrangesActionButtonsVertically(c.alwaysVertical);
    std::vector<QVAlertActionRef> actions;
    for (int i = 0; i < c.count; ++i) actions.push_back(action("Action " + std::to_string(i)));
    auto alert = makeAlert(actions, config);
    present(alert);
    QVAlertView& view = alert->alertView();
    EXPECT_EQ(view.actionButtonStackView()->axis(), c.axis);
    ASSERT_EQ(view.actionButtons().size(), static_cast<std::size_t>(c.count));
    // Buttons and hairlines between them.
    EXPECT_EQ(view.actionButtonStackView()->arrangedSubviews().size(),
              static_cast<std::size_t>(2 * c.count - 1));
    const CGRect card = view.alertBackgroundView()->frame();
    for (int i = 0; i < c.count; ++i) {
      const auto& button = view.actionButtons()[i];
      EXPECT_EQ(actions[i]->actionButton(), button);
      EXPECT_EQ(button->tag(), i);
      const CGRect f = button->convertRect(button->bounds(), &view);
      EXPECT_DOUBLE_EQ(f.size.height, QVAlertViewButton::kHeight);
      if (c.axis == UILayoutConstraintAxis::kVertical) {
        EXPECT_DOUBLE_EQ(f.size.width, card.size.width);
        if (i > 0) {
          const auto& prev = view.actionButtons()[i - 1];
          const CGRect p = prev->convertRect(prev->bounds(), &view);
          EXPECT_DOUBLE_EQ(f.origin.y, CGRectGetMaxY(p) + 0.5);  // a hairline apart
        }
      } else {
        EXPECT_NEAR(f.size.width, (card.size.width - 0.5) / 2, 1e-9);
      }
    }
    // The last button ends at the card's bottom.
    const auto& last = view.actionButtons().back();
    EXPECT_NEAR(CGRectGetMaxY(last->convertRect(last->bounds(), &view)), CGRectGetMaxY(card), 1e-9);
    alert->dismissViewControllerAnimated(false);
    advance(1s);
  }
}

TEST_F(AlertTest, TheCardIsEightTenthsOfTheScreenWithinItsLimits) {
  auto alert = makeAlert({action("OK")});
  present(alert);
  QVAlertView& view = alert->alertView();
  EXPECT_DOUBLE_EQ(view.alertBackgroundView()->frame().size.width, 300);  // 0.8 x 375
  // Centred, with the title above the message above the button.
  const CGRect card = view.alertBackgroundView()->frame();
  EXPECT_DOUBLE_EQ(CGRectGetMidX(card), 375.0 / 2);
  EXPECT_NEAR(CGRectGetMidY(card), 667.0 / 2, 1e-9);
  EXPECT_EQ(view.titleLabel().text(), "Allow?");
  EXPECT_EQ(view.messageTextView().text(), "An app wants to reach a host.");
  EXPECT_LT(CGRectGetMaxY(view.titleLabel().frame()), view.messageTextView().frame().origin.y);
  EXPECT_GT(view.messageTextView().frame().size.height, 0);
  // A lower maximum wins.
  alert->setMaximumWidth(250);
  window_->layoutIfNeeded();
  EXPECT_DOUBLE_EQ(view.alertBackgroundView()->frame().size.width, 250);
  alert->dismissViewControllerAnimated(false);
  advance(1s);

  useScreen(768, 1024);
  auto wide = makeAlert({action("OK")});
  present(wide);
  EXPECT_DOUBLE_EQ(wide->alertView().alertBackgroundView()->frame().size.width, 480);
  // A maximum above the screen's share does not widen the card past it.
  wide->setMaximumWidth(2000);
  window_->layoutIfNeeded();
  EXPECT_NEAR(wide->alertView().alertBackgroundView()->frame().size.width, 0.8 * 768, 1e-9);
  wide->dismissViewControllerAnimated(false);
  advance(1s);

  useScreen(320, 480);
  auto narrow = makeAlert({action("OK")});
  present(narrow);
  EXPECT_DOUBLE_EQ(narrow->alertView().alertBackgroundView()->frame().size.width, 300);
  narrow->dismissViewControllerAnimated(false);
  advance(1s);

  // On a screen narrower than the minimum the card fits the screen.
  useScreen(240, 320);
  auto tiny = makeAlert({action("OK")});
  present(tiny);
  EXPECT_DOUBLE_EQ(tiny->alertView().alertBackgroundView()->frame().size.width, 240);
}

TEST_F(AlertTest, TheMessageHeightFollowsItsText) {
  auto alert = makeAlert({action("OK")});
  present(alert);
  QVAlertTextView& message = alert->alertView().messageTextView();
  const double oneLine = message.frame().size.height;
  EXPECT_DOUBLE_EQ(message.heightConstraint().constant(), oneLine);
  EXPECT_DOUBLE_EQ(message.heightConstraint().priority(), UILayoutPriorityDefaultHigh);
  alert->setMessage(std::string(400, 'x') + " and many more words to wrap over several lines");
  window_->layoutIfNeeded();
  EXPECT_GT(message.frame().size.height, 2 * oneLine);
  EXPECT_DOUBLE_EQ(message.heightConstraint().constant(), message.frame().size.height);
  alert->setTitle("Another title");
  EXPECT_EQ(alert->alertView().titleLabel().text(), "Another title");
}

TEST_F(AlertTest, ButtonsTakeTheirLookFromTheActionOrTheStyle) {
  auto config = QVAlertViewControllerConfiguration::create();
  auto inverted = std::make_shared<QVAlertActionConfiguration>();
  inverted->setInvert(true);
  inverted->setTitleColor(UIColor::blueColor());
  auto own = QVAlertAction::initWithTitle("Own", QVAlertActionStyle::kDefault, nullptr, inverted);
  auto plain = action("Plain");
  auto cancel = action("Cancel", QVAlertActionStyle::kCancel);
  auto destroy = action("Delete", QVAlertActionStyle::kDestructive);
  auto alert = makeAlert({own, plain, cancel, destroy}, config);
  present(alert);
  auto ownButton = own->actionButton();
  EXPECT_EQ(ownButton->titleColorForState(UIControlStateNormal), UIColor::whiteColor());
  EXPECT_EQ(ownButton->titleColorForState(UIControlStateHighlighted), UIColor::whiteColor());
  EXPECT_EQ(ownButton->backgroundColor(), UIColor::blueColor());
  EXPECT_EQ(plain->actionButton()->titleColorForState(UIControlStateNormal),
            config->buttonConfiguration()->titleColor());
  EXPECT_EQ(plain->actionButton()->titleLabel().font(), Font::preferredFont(TextStyle::kBody));
  EXPECT_EQ(cancel->actionButton()->titleLabel().font(), Font::preferredFont(TextStyle::kHeadline));
  EXPECT_EQ(destroy->actionButton()->titleColorForState(UIControlStateNormal),
            config->destructiveButtonConfiguration()->titleColor());
  EXPECT_EQ(destroy->actionButton()->titleColorForState(UIControlStateDisabled),
            UIColor::grayColor());

  // The action's setters reach its button.
  plain->setTitle("Renamed");
  EXPECT_EQ(plain->actionButton()->titleForState(UIControlStateNormal), "Renamed");
  plain->setEnabled(false);
  EXPECT_FALSE(plain->actionButton()->isEnabled());
}

TEST_F(AlertTest, ButtonMetricsAndTheBorderedType) {
  auto button = std::make_shared<QVAlertViewButton>();
  button->setTitle("OK", UIControlStateNormal);
  const double base = button->UIButton::intrinsicContentSize().width;
  EXPECT_EQ(button->intrinsicContentSize(), (CGSize{base + 12, 44}));
  button->setHidden(true);
  EXPECT_EQ(button->intrinsicContentSize(), (CGSize{0, 0}));
  button->setHidden(false);
  EXPECT_DOUBLE_EQ(button->layer().cornerRadius(), 4);
  EXPECT_TRUE(button->clipsToBounds());
  EXPECT_TRUE(button->layer().shouldRasterize());
  EXPECT_DOUBLE_EQ(button->layer().rasterizationScale(), 2);
  EXPECT_DOUBLE_EQ(button->layer().borderWidth(), 0);
  button->setTintColor(UIColor::greenColor());
  button->setBackgroundColor(UIColor::redColor());
  button->setType(QVAlertViewButton::kTypeBordered);
  EXPECT_DOUBLE_EQ(button->layer().borderWidth(), 1);
  EXPECT_EQ(button->layer().borderColor(), UIColor::greenColor());
  EXPECT_EQ(button->backgroundColor(), UIColor::clearColor());
  EXPECT_EQ(button->titleColorForState(UIControlStateNormal), UIColor::greenColor());
}

TEST_F(AlertTest, TextFieldsStackInTheirContainerAndAContentViewSitsOnTop) {
  auto config = QVAlertViewControllerConfiguration::create();
  config->setContentViewInset({4, 5, 6, 7});
  auto alert = makeAlert({action("OK")}, config);
  int configured = 0;
  alert->addTextFieldWithConfigurationHandler([&](UITextField& field) {
    ++configured;
    field.setPlaceholder("host");
  });
  alert->addTextFieldWithConfigurationHandler();
  EXPECT_EQ(configured, 1);
  ASSERT_EQ(alert->textFields().size(), 2u);
  EXPECT_EQ(alert->textFields()[0]->borderStyle(), UITextBorderStyle::kRoundedRect);
  auto content = std::make_shared<UIView>();
  auto size = content->heightAnchor().constraintEqualToConstant(40);
  alert->setAlertViewContentView(content);
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints({size}).ok());
  present(alert);
  QVAlertView& view = alert->alertView();
  const auto& first = alert->textFields()[0];
  const auto& second = alert->textFields()[1];
  EXPECT_EQ(first->superview(), view.textFieldContainerView().get());
  EXPECT_DOUBLE_EQ(first->frame().origin.y, 8);  // the container's top margin
  EXPECT_NEAR(second->frame().origin.y, CGRectGetMaxY(first->frame()) + 8, 1e-9);
  EXPECT_NEAR(CGRectGetMaxY(second->frame()), view.textFieldContainerView()->bounds().size.height,
              1e-9);
  EXPECT_EQ(alert->alertViewContentView(), content);
  EXPECT_EQ(content->frame(), CGRectMake(5, 4, 300 - 12, 40));
  EXPECT_DOUBLE_EQ(view.contentViewContainerView()->frame().origin.y, 0);
  // A new content view replaces the old one.
  alert->setAlertViewContentView(nullptr);
  EXPECT_EQ(content->superview(), nullptr);
}

}  // namespace
}  // namespace sentrel::qvalert
