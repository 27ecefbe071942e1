// libSentrelUI.so's entry points (ui_library.h).
#include "tweak/Tweak.h"
#include "tweak/UI/SNTAlertScreen.h"
#include "tweak/UI/SNTProAlert.h"
#include "tweak/UI/test_prompt.h"

extern "C" __attribute__((visibility("default"))) void sentrel_ui_installSpringBoard_v1() {
  // SpringBoard's records draw their own prompts.
  sentrel::installSNTProAlertFactory();
  // ...and the prompt queue presents them on SpringBoard's screen.
  sentrel::installSNTAlertScreen();
  sentrel::SNTInstallSpringBoard();
}

extern "C" __attribute__((visibility("default"))) void sentrel_ui_SNTTestAlertInNewWindow_v1() {
  sentrel::showTestPrompt();
}
