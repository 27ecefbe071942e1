// The settings bundle's plug-in: loaded by the Settings app with dlopen, it
// registers its pages and cell by class name as it loads, so the app can
// make the principal class, SNTRootListController, by name.
#include "tweak/sentrel_preferences/SNTPages.h"

namespace {

struct Registration {
  Registration() { sentrel::registerSentrelPreferencesClasses(); }
};
const Registration registration;

}  // namespace
