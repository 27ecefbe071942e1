// The prompt queue's screen in SpringBoard: prompt windows (SNTWindow at
// level 26) found among the application's windows, and the presentation of
// one record's prompt in a window of its own. Main queue only.
#pragma once

#include <memory>
#include <string>

#include "tweak/UI/SNTAlert.h"
#include "tweak/UI/SNTQVAlertViewController.h"
#include "tweak/UI/SNTWindow.h"

namespace sentrel {

// Below this screen width (points) no prompt is presented.
inline constexpr double kSNTMinimumScreenWidth = 200;

class SNTAlertScreen final : public SNTPromptScreen {
 public:
  std::shared_ptr<SNTAlert> presentedAlert() override;
  bool isOnScreen(const SNTAlert& alert) override;
  void removeAllSNTWindows() override;
  // buildViewController() of an SNTProAlert, then presentAlertInSpringBoard().
  void present(const std::shared_ptr<SNTAlert>& alert, const std::string& message,
               bool animated) override;
  void dismissPrompt(const SNTAlert& alert, bool deactivate) override;

  // The first visible window at the prompt level that is an SNTWindow.
  static std::shared_ptr<SNTWindow> activeSNTWindow();
  // Shows `controller` for `alert` in a new prompt window: a cancelled
  // record leaves the queue instead, a record answered meanwhile by a rule
  // is not shown, and on a screen narrower than kSNTMinimumScreenWidth the
  // record waits and the queue asks again a second later.
  static void presentAlertInSpringBoard(const std::shared_ptr<SNTAlert>& alert,
                                        const std::shared_ptr<SNTQVAlertViewController>& controller,
                                        bool animated);
};

// Makes the prompt queue of this copy of the tweak draw on this process's
// screen.
void installSNTAlertScreen();

}  // namespace sentrel
