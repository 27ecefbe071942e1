// SNTProAlert: the prompt record as the user sees it in SpringBoard. It
// builds the prompt's content (a title counting the queue, the message, the
// host and port scopes and the allow/block switch), its four scope actions
// (once, always, all sites for this app, this site for every app) and a gear
// button, and turns the chosen action into an answer and, for the lasting
// choices, rules.
//
// SpringBoard's records are made as SNTProAlerts once installSNTProAlertFactory()
// has run (the UI library does it before SpringBoard's services start).
// Main thread only, like the views it owns.
#pragma once

#include <memory>
#include <string>

#include "platform/uikit/button.h"
#include "platform/uikit/value_controls.h"
#include "platform/uikit/view.h"
#include "tweak/UI/SNTAlert.h"
#include "tweak/UI/SNTQVAlertViewController.h"

namespace sentrel {

class SNTProAlert : public SNTAlert {
 public:
  // Indices of the prompt's actions.
  enum Action : size_t { kOnce = 0, kAlways = 1, kAllSites = 2, kGlobally = 3, kActionCount = 4 };

  SNTProAlert() = default;

  // The prompt for this record with `message`: its configuration, the four
  // actions, its content view; the buttons titled for the current decision.
  std::shared_ptr<SNTQVAlertViewController> buildViewController(const std::string& message,
                                                                bool animated);
  // The prompt's content view; makes the three controls afresh.
  uikit::UIViewRef buildCustomView(const std::string& message);
  // Retitles and recolours the actions of `controller` (may be null) for
  // the current decision.
  void updateButtons(qvalert::QVAlertViewController* controller);
  // The decision control's value-changed handler.
  void allowSegmentChanged(uikit::UIControl& sender);
  // True unless "Block" (segment 1) is selected; also without a control.
  bool allowSegmentSelected() const;

  // The choices, as the actions' handlers run them, with the decision at
  // the moment of the call. A record that has been answered already is left
  // alone (its rules were written with that answer).
  void chooseOnce();
  void chooseAlways();
  void chooseAllSites();
  void chooseGlobally();
  // The gear: the prompt is withdrawn for the app's settings page
  // (openSettings()).
  void openSettingsRequested();

  // "*.<second-to-last label>.<last label>" of `host` (empty labels
  // skipped); "*.<host>" for a host of one label.
  static std::string wildcardHost(const std::string& host);

  const std::shared_ptr<uikit::UISegmentedControl>& hostControl() const { return hostControl_; }
  void setHostControl(std::shared_ptr<uikit::UISegmentedControl> c) { hostControl_ = std::move(c); }
  const std::shared_ptr<uikit::UISegmentedControl>& portControl() const { return portControl_; }
  void setPortControl(std::shared_ptr<uikit::UISegmentedControl> c) { portControl_ = std::move(c); }
  const std::shared_ptr<uikit::UISegmentedControl>& segmentedControl() const {
    return segmentedControl_;
  }
  void setSegmentedControl(std::shared_ptr<uikit::UISegmentedControl> c) {
    segmentedControl_ = std::move(c);
  }
  const std::shared_ptr<uikit::UIButton>& gearButton() const { return gearButton_; }

 private:
  bool answered() const;
  void answerAlways(bool allow);

  std::shared_ptr<uikit::UISegmentedControl> hostControl_;
  std::shared_ptr<uikit::UISegmentedControl> portControl_;
  std::shared_ptr<uikit::UISegmentedControl> segmentedControl_;
  std::shared_ptr<uikit::UIButton> gearButton_;
};

// Has SNTInterceptor::newAlert() (and so SpringBoard's records) make
// SNTProAlerts.
void installSNTProAlertFactory();

}  // namespace sentrel
