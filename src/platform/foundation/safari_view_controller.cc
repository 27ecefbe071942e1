#include "platform/foundation/safari_view_controller.h"

#include "platform/foundation/signatures.h"
#include "platform/log/system_log.h"

namespace sentrel::foundation {
namespace {

SFSafariViewController* controllerOf(runtime::id self, runtime::SEL cmd) {
  auto* controller = dynamic_cast<SFSafariViewController*>(self);
  if (controller == nullptr && self != nullptr) {
    log::line(std::string("-[SFSafariViewController ") + runtime::sel_getName(cmd) +
                  "] sent to an object of class " + runtime::class_getName(self->getClass()),
              log::Level::kError);
  }
  return controller;
}

}  // namespace

void internal::registerSafariClasses() {
  runtime::Class cls = defineClass("SFSafariViewController");
  defineMethod<sig::InitWithURL>(cls, "initWithURL:", &SFSafariViewController::initWithURLMethod);
  defineMethod<sig::InitWithURLConfiguration>(
      cls, "initWithURL:configuration:", &SFSafariViewController::initWithURLConfigurationMethod);
  defineMethod<sig::InitWithURLEntersReader>(
      cls, "initWithURL:entersReaderIfAvailable:",
      &SFSafariViewController::initWithURLEntersReaderMethod);
}

SFSafariViewController::SFSafariViewController()
    : Object(internal::foundationClass("SFSafariViewController")) {}

runtime::id SFSafariViewController::initWithURL(const sentrel::URL& url) {
  static const runtime::SEL sel = runtime::sel_registerName("initWithURL:");
  return runtime::msgSend<sig::InitWithURL>(this, sel, url);
}

runtime::id SFSafariViewController::initWithURL(
    const sentrel::URL& url,
    const std::shared_ptr<SFSafariViewControllerConfiguration>& configuration) {
  static const runtime::SEL sel = runtime::sel_registerName("initWithURL:configuration:");
  return runtime::msgSend<sig::InitWithURLConfiguration>(this, sel, url, configuration);
}

runtime::id SFSafariViewController::initWithURL(const sentrel::URL& url,
                                                bool entersReaderIfAvailable) {
  static const runtime::SEL sel = runtime::sel_registerName("initWithURL:entersReaderIfAvailable:");
  return runtime::msgSend<sig::InitWithURLEntersReader>(this, sel, url, entersReaderIfAvailable);
}

runtime::id SFSafariViewController::initWithURLMethod(runtime::id self, runtime::SEL cmd,
                                                      const sentrel::URL& url) {
  SFSafariViewController* controller = controllerOf(self, cmd);
  if (controller == nullptr) return nullptr;
  controller->url_ = url;
  return controller;
}

runtime::id SFSafariViewController::initWithURLConfigurationMethod(
    runtime::id self, runtime::SEL cmd, const sentrel::URL& url,
    const std::shared_ptr<SFSafariViewControllerConfiguration>& configuration) {
  SFSafariViewController* controller = controllerOf(self, cmd);
  if (controller == nullptr) return nullptr;
  controller->url_ = url;
  controller->configuration_ = configuration;
  controller->enters_reader_ = configuration && configuration->entersReaderIfAvailable();
  return controller;
}

runtime::id SFSafariViewController::initWithURLEntersReaderMethod(runtime::id self,
                                                                  runtime::SEL cmd,
                                                                  const sentrel::URL& url,
                                                                  bool enters) {
  SFSafariViewController* controller = controllerOf(self, cmd);
  if (controller == nullptr) return nullptr;
  controller->url_ = url;
  controller->enters_reader_ = enters;
  return controller;
}

}  // namespace sentrel::foundation
