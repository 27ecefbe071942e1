#include "tweak/Tweak.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/bundle/main_bundle.h"
#include "platform/foundation/foundation.h"
#include "platform/foundation/signatures.h"
#include "platform/foundation/web_view.h"
#include "platform/log/system_log.h"
#include "platform/notify/notification_center.h"
#include "platform/runloop/run_loop.h"
#include "platform/runtime/runtime.h"
#include "tweak/CHooks.h"
#include "tweak/SNTFirewall.h"
#include "tweak/SNTMessagingCenter.h"
#include "tweak/UI/SNTAlert.h"
#include "tweak/UI/ui_library.h"
#include "tweak/common.h"
#include "tweak/intercept.h"
#include "tweak/preftools.h"
#include "tweak/settings_image.h"

namespace sentrel {
namespace {

namespace sig = foundation::sig;
using runtime::id;
using runtime::MethodFn;
using runtime::SEL;

constexpr std::string_view kSkippedProcessNames[] = {"powerlogHelperd", "suggestd", "aggregated",
                                                     "ptpd"};

// The process firewall reference of a filtered app.
std::shared_ptr<SNTFirewall>& processFirewall() {
  static auto* firewall = new std::shared_ptr<SNTFirewall>;
  return *firewall;
}

SEL sel(const char* name) {
  return runtime::sel_registerName(name);
}

std::string describeException(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown failure";
  }
}

// The verdict of the firewall for a destination. A failure while deciding
// blocks the destination and is logged: nothing escapes into the app.
enum class Verdict { kAllow, kDeny, kAsk };

Verdict decide(SNTFirewall& firewall, const SNTDestination& destination, const char* hook) {
  try {
    if (firewall.shouldAllow(destination)) return Verdict::kAllow;
    if (firewall.shouldDeny(destination)) return Verdict::kDeny;
    return Verdict::kAsk;
  } catch (...) {
    log::line(std::string(hook) +
                  ": deciding failed, blocking: " + describeException(std::current_exception()),
              log::Level::kError);
    return Verdict::kDeny;
  }
}

// The firewall a hook asks, or nullptr when the hook passes everything on.
std::shared_ptr<SNTFirewall> filteringFirewall(bool webView) {
  std::shared_ptr<SNTFirewall> firewall = SNTFirewall::current_raw();
  if (firewall == nullptr) return nullptr;
  try {
    if (!firewall->enabled()) return nullptr;
    if (webView && !firewall->filterWebViews()) return nullptr;
  } catch (...) {
    log::line("hook: reading the firewall's switches failed: " +
                  describeException(std::current_exception()),
              log::Level::kError);
  }
  return firewall;
}

void askInBackground(const URLRequest& request, SNTInterceptor::Callback callback,
                     const char* hook) {
  try {
    SNTInterceptor::shared().showFirewallAlert(request, std::move(callback));
  } catch (...) {
    log::line(std::string(hook) +
                  ": prompt request failed: " + describeException(std::current_exception()),
              log::Level::kError);
  }
}

// ---- "__NSCFURLSessionTask" ----------------------------------------------------

MethodFn<sig::Resume> original_resume = nullptr;

void cancelTask(id task) {
  try {
    runtime::msgSend<sig::Cancel>(task, sel("cancel"));
  } catch (...) {
    log::line("NSURLSessionTask cancel failed: " + describeException(std::current_exception()),
              log::Level::kError);
  }
}

void replaced_resume(id self, SEL cmd) {
  log::line("__NSCFURLSessionTask resume()");
  std::shared_ptr<SNTFirewall> firewall = filteringFirewall(false);
  if (firewall == nullptr) return original_resume(self, cmd);
  if (self == nullptr ||
      !runtime::class_isKindOf(self->getClass(), runtime::objc_getClass("NSURLSessionTask"))) {
    original_resume(self, cmd);
    log::line("self is not an NSURLSessionTask");
    return;
  }
  std::optional<URLRequest> request;
  try {
    request = runtime::msgSend<sig::CurrentRequest>(self, sel("currentRequest"));
  } catch (...) {
    log::line("NSURLSessionTask currentRequest failed, cancelling: " +
                  describeException(std::current_exception()),
              log::Level::kError);
    return cancelTask(self);
  }
  if (!request) return original_resume(self, cmd);
  switch (decide(*firewall, *request, "NSURLSessionTask resume")) {
    case Verdict::kAllow:
      return original_resume(self, cmd);
    case Verdict::kDeny:
      log::line("NSURLSessionTask shouldDeny! cancelling task");
      return cancelTask(self);
    case Verdict::kAsk:
      break;
  }
  std::shared_ptr<runtime::Object> task = runtime::retain(self);
  if (task == nullptr) {
    log::line("NSURLSessionTask is not shared, cancelling", log::Level::kError);
    return cancelTask(self);
  }
  askInBackground(
      *request,
      [task, cmd](bool allow) {
        if (allow) {
          log::line("NSURLSessionTask interceptor returned YES! resuming task");
          original_resume(task.get(), cmd);
        } else {
          log::line("NSURLSessionTask interceptor returned NO! cancelling task");
          cancelTask(task.get());
        }
      },
      "NSURLSessionTask resume");
}

// ---- "WKWebView" -------------------------------------------------------------

MethodFn<sig::LoadRequest> original_loadRequest = nullptr;
MethodFn<sig::Reload> original_reload = nullptr;

std::string describeObject(const char* kind, const void* object) {
  char text[64];
  std::snprintf(text, sizeof text, "<%s: %p>", kind, object);
  return text;
}

// Whether an app's own handler serves the request's scheme, which the
// firewall lets through unless "snt_filter_custom_scheme" is on.
bool bypassesForSchemeHandler(id self, const URLRequest& request, SNTFirewall& firewall) {
  if (!foundation::systemVersionAtLeast(11, 0)) return false;
  if (!request.url() || !request.url()->scheme()) return false;
  std::shared_ptr<foundation::WKWebViewConfiguration> configuration =
      runtime::msgSend<sig::Configuration>(self, sel("configuration"));
  std::shared_ptr<foundation::WKURLSchemeHandler> handler = runtime::msgSend<sig::SchemeHandlerFor>(
      configuration.get(), sel("urlSchemeHandlerForURLScheme:"), *request.url()->scheme());
  if (handler == nullptr || firewall.shouldFilterCustomWebkitUrlSchemeHandler()) return false;
  log::line("WKWebView loadRequest... Url scheme handler: " +
            describeObject("WKURLSchemeHandler", handler.get()) +
            " not null, and filterCustomWebkitUrlSchemeHandler = NO. Bypassing firewall!");
  return true;
}

std::shared_ptr<foundation::WKNavigation> replaced_loadRequest(id self, SEL cmd,
                                                               const URLRequest& request) {
  std::shared_ptr<SNTFirewall> firewall = filteringFirewall(true);
  if (firewall == nullptr) return original_loadRequest(self, cmd, request);
  std::optional<std::string_view> host;
  if (request.url() && request.url()->host()) host = *request.url()->host();
  const URLRequest placeholder = makeDummyRequestWithDomain(host);
  switch (decide(*firewall, request, "WKWebView loadRequest")) {
    case Verdict::kAllow:
      return original_loadRequest(self, cmd, request);
    case Verdict::kDeny:
      return original_loadRequest(self, cmd, placeholder);
    case Verdict::kAsk:
      break;
  }
  try {
    if (bypassesForSchemeHandler(self, request, *firewall)) {
      return original_loadRequest(self, cmd, request);
    }
  } catch (...) {
    log::line(
        "WKWebView scheme handler check failed: " + describeException(std::current_exception()),
        log::Level::kError);
  }
  std::shared_ptr<foundation::WKNavigation> navigation =
      original_loadRequest(self, cmd, placeholder);
  std::shared_ptr<runtime::Object> view = runtime::retain(self);
  if (view == nullptr) return navigation;  // not shared: the placeholder stays
  askInBackground(
      request,
      [view, cmd, request](bool allow) {
        if (allow) original_loadRequest(view.get(), cmd, request);
      },
      "WKWebView loadRequest");
  return navigation;
}

std::shared_ptr<foundation::WKNavigation> replaced_reload(id self, SEL cmd) {
  std::shared_ptr<SNTFirewall> firewall = filteringFirewall(true);
  if (firewall == nullptr) return original_reload(self, cmd);
  std::optional<URL> url;
  try {
    url = runtime::msgSend<sig::WebViewURL>(self, sel("URL"));
  } catch (...) {
    log::line("WKWebView URL failed: " + describeException(std::current_exception()),
              log::Level::kError);
  }
  const URLRequest request(url);
  std::optional<std::string_view> host;
  if (url && url->host()) host = *url->host();
  const URLRequest placeholder = makeDummyRequestWithDomain(host);
  log::debug("Tweak", __LINE__, "-[" + describeObject("WKWebView", self) + " reload]");
  Verdict verdict = decide(*firewall, request, "WKWebView reload");
  if (verdict == Verdict::kAllow) return original_reload(self, cmd);
  if (verdict == Verdict::kAsk) {
    std::shared_ptr<runtime::Object> view = runtime::retain(self);
    if (view != nullptr) {
      askInBackground(
          request,
          [view, cmd](bool allow) {
            if (allow) original_reload(view.get(), cmd);
          },
          "WKWebView reload");
    }
  }
  // Through the hooked loadRequest:, which lets the placeholder host pass.
  return runtime::msgSend<sig::LoadRequest>(self, sel("loadRequest:"), placeholder);
}

// ---- "SFSafariViewController" -----------------------------------------------------

MethodFn<sig::InitWithURL> original_initWithURL = nullptr;
MethodFn<sig::InitWithURLConfiguration> original_initWithURLConfiguration = nullptr;
MethodFn<sig::InitWithURLEntersReader> original_initWithURLEntersReader = nullptr;

// The URL an in-app browser opens: the placeholder for a denied host, else
// the URL itself. The browser asks the user itself, so it never prompts here.
URL safariURL(const URL& url) {
  std::shared_ptr<SNTFirewall> firewall = filteringFirewall(true);
  if (firewall == nullptr) return url;
  switch (decide(*firewall, url, "SFSafariViewController")) {
    case Verdict::kAllow:
      return url;
    case Verdict::kDeny:
      if (std::optional<URL> placeholder = makeDummyUrl()) return *placeholder;
      return url;
    case Verdict::kAsk:
      log::line("Allowing SFSafariViewController because it has built-in iOS permissions");
      return url;
  }
  return url;
}

id replaced_initWithURL(id self, SEL cmd, const URL& url) {
  return original_initWithURL(self, cmd, safariURL(url));
}

id replaced_initWithURLConfiguration(
    id self, SEL cmd, const URL& url,
    const std::shared_ptr<foundation::SFSafariViewControllerConfiguration>& configuration) {
  return original_initWithURLConfiguration(self, cmd, safariURL(url), configuration);
}

id replaced_initWithURLEntersReader(id self, SEL cmd, const URL& url, bool entersReader) {
  return original_initWithURLEntersReader(self, cmd, safariURL(url), entersReader);
}

// ---- SpringBoard ------------------------------------------------------------------

MethodFn<sig::DidFinishLaunching> original_applicationDidFinishLaunching = nullptr;

using ServiceSignature = void(const SNTNotification&);

const plist::Value& userInfoOf(const SNTNotification& notification) {
  return notification.userInfo;
}

void saveSNTSettings(id, SEL, const SNTNotification& notification) {
  SENTREL_ASSERT_ON_MAIN_QUEUE();
  log::line("Received SNT_SB_SAVE_SETTINGS");
  log::line("Springboard received new global settings!");
  PrefHandler::writeSettingsFile(userInfoOf(notification));
}

void saveSNTSettingsAndNotify(id, SEL, const SNTNotification& notification) {
  SENTREL_ASSERT_ON_MAIN_QUEUE();
  log::line("Received SNT_SB_SAVE_SETTINGS_AND_NOTIFY");
  log::line("Springboard received new global settings!");
  // Announced whether or not the write succeeded, but never a document that
  // was refused: every process would adopt it in place of its settings.
  if (!PrefHandler::writeSettingsFile(userInfoOf(notification))) return;
  notify::distributedCenter().post(kNewSettingsNotification, userInfoOf(notification));
}

void launchSNTTweakSettings(id, SEL, const SNTNotification& notification) {
  SENTREL_ASSERT_ON_MAIN_QUEUE();
  log::line("Received SNT_LAUNCH_TWEAK_SETTINGS");
  std::optional<std::string> path = launchTweakSettingsPath(userInfoOf(notification));
  if (!path) {
    // "prefs:root=(null)" would end the Settings app and open nothing.
    log::line("launchSNTTweakSettings: no \"path\" in the request; not opening the Settings app",
              log::Level::kWarning);
    return;
  }
  PrefHandler::springBoardLaunchSettingsWithPath(*path);
}

void showSNTAlert(id, SEL, const SNTNotification& notification) {
  SENTREL_ASSERT_ON_MAIN_QUEUE();
  log::line("showSNTAlert called!");
  SNTAlertFromRequest(AlertRequest::fromPayload(userInfoOf(notification)))->showOrQueue();
}

void replaced_applicationDidFinishLaunching(id self, SEL cmd, id application) {
  original_applicationDidFinishLaunching(self, cmd, application);
  std::shared_ptr<runtime::Object> app = runtime::retain(self);
  id target = self;  // the application object lives as long as the program
  notify::NotificationCenter& center = notify::distributedCenter();
  const std::pair<const char*, const char*> services[] = {
      {kSaveSettingsNotification, "saveSNTSettings:"},
      {kSaveSettingsAndNotifyNotification, "saveSNTSettingsAndNotify:"},
      {kLaunchTweakSettingsNotification, "launchSNTTweakSettings:"},
      {kNewSpringBoardAlertNotification, "showSNTAlert:"},
  };
  for (const auto& [name, selector] : services) {
    SEL service = sel(selector);
    center.addObserver(
        name, [app, target, service](const std::string& delivered, const plist::Value& userInfo) {
          runtime::msgSend<ServiceSignature>(target, service, SNTNotification{delivered, userInfo});
        });
  }
}

// ---- Installation ------------------------------------------------------------------

// The classes of the request hooks that this process does not have. Most
// programs have none of them (they are not built on the Foundation
// stand-ins): one line says so, not one per hook.
std::vector<std::string>& missingHookClasses() {
  static auto* missing = new std::vector<std::string>;
  return *missing;
}

template <class Signature>
void hookMethod(const char* className, const char* selector, MethodFn<Signature> replacement,
                MethodFn<Signature>* previous) {
  runtime::Class cls = runtime::objc_getClass(className);
  if (cls == nullptr) {
    std::vector<std::string>& missing = missingHookClasses();
    if (std::find(missing.begin(), missing.end(), className) == missing.end()) {
      missing.push_back(className);
    }
    return;
  }
  Status status = runtime::MSHookMessageEx(cls, sel(selector), replacement, previous);
  if (!status.ok()) {
    log::line(std::string("sentrel: not hooking ") + className + " " + selector + ": " +
              status.reason());
  }
}

void logMissingHookClasses() {
  std::vector<std::string>& missing = missingHookClasses();
  if (missing.empty()) return;
  std::string text = "sentrel: not hooking, no such class in this process:";
  for (const std::string& name : missing) text += " " + name;
  log::line(text);
  missing.clear();
}

void installAllApps() {
  std::shared_ptr<SNTFirewall>& reference = processFirewall();
  reference = SNTFirewall::current();
  if (reference == nullptr) return;
  reference->loadFromMainBundle();
  if (!reference->enabled()) {
    SNTFirewall::unregister();
    reference.reset();
    return;
  }
  hookMethod<sig::Resume>("__NSCFURLSessionTask", "resume", &replaced_resume, &original_resume);
  hookMethod<sig::LoadRequest>("WKWebView", "loadRequest:", &replaced_loadRequest,
                               &original_loadRequest);
  hookMethod<sig::Reload>("WKWebView", "reload", &replaced_reload, &original_reload);
  hookMethod<sig::InitWithURL>("SFSafariViewController", "initWithURL:", &replaced_initWithURL,
                               &original_initWithURL);
  hookMethod<sig::InitWithURLConfiguration>(
      "SFSafariViewController", "initWithURL:configuration:", &replaced_initWithURLConfiguration,
      &original_initWithURLConfiguration);
  hookMethod<sig::InitWithURLEntersReader>(
      "SFSafariViewController",
      "initWithURL:entersReaderIfAvailable:", &replaced_initWithURLEntersReader,
      &original_initWithURLEntersReader);
  logMissingHookClasses();
  if (reference->globalHookSyscalls() && reference->filterStreams()) initializeCHooks();
  SNTMessagingCenter::load();
}

}  // namespace

std::optional<SNTHookGroup> SNTClassifyProcess(std::optional<std::string_view> bundleId,
                                               std::string_view processName,
                                               std::string_view bundlePath) {
  if (!bundleId) return std::nullopt;
  bool filtered = true;
  for (std::string_view skipped : kSkippedProcessNames) {
    if (processName == skipped) filtered = false;
  }
  if (filtered && isSkippedBundleIdentifier(*bundleId)) filtered = false;
  if (filtered) {
    const size_t slash = bundlePath.rfind('/');
    const std::string_view last =
        slash == std::string_view::npos ? bundlePath : bundlePath.substr(slash + 1);
    const size_t dot = last.rfind('.');
    filtered = dot != std::string_view::npos && dot > 0 && last.substr(dot + 1) == "app";
  }
  if (filtered) return SNTHookGroup::kAllApps;
  if (*bundleId == kSpringBoardBundleIdentifier) return SNTHookGroup::kSpringBoard;
  return SNTHookGroup::kNone;
}

void SNTClassLoad() {
  SNTFirewall::load();
  SNTMessagingCenter::load();
}

void SNTModuleInitializer() {
  static std::once_flag once;
  std::call_once(once, [] {
    const bundle::MainBundle& identity = bundle::mainBundle();
    const std::optional<std::string>& bundleId = identity.bundle_identifier;
    if (!bundleId) return;
    log::line("sentrel ctor for " + *bundleId);
    const std::string& path = identity.bundle_path;
    const size_t slash = path.rfind('/');
    const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = last.rfind('.');
    const std::string type = dot == std::string::npos || dot == 0 ? "" : last.substr(dot + 1);
    log::line("sentrel for bundlePath " + path + ", type: " + type);
    switch (*SNTClassifyProcess(bundleId, identity.process_name, path)) {
      case SNTHookGroup::kAllApps:
        installAllApps();
        break;
      case SNTHookGroup::kSpringBoard:
        // SpringBoard's half (its services and the prompts on its screen)
        // runs in the tweak's UI library, with the UI toolkit. Without that
        // library SpringBoard serves everything but draws no prompt.
        if (Status ui = callUILibrary(kUIEntryInstallSpringBoard); !ui.ok()) {
          log::line("sentrel: " + ui.reason() + "; SpringBoard shows no prompts",
                    log::Level::kWarning);
          SNTInstallSpringBoard();
        }
        break;
      case SNTHookGroup::kNone:
        log::line("sentrel skipping hooks for bundle id: " + *bundleId);
        break;
    }
  });
}

void SNTInstallSpringBoard() {
  // Every other process reads its part of the settings from the image; give
  // them one before the first save. On the main queue, after start-up and
  // in order with the saves.
  runloop::asyncMain([] { publishSettingsImageIfStale(); });
  runtime::Class springBoard = runtime::objc_getClass("SpringBoard");
  if (springBoard == nullptr) log::line("sentrel: no class SpringBoard in this process");
  runtime::class_addMethod(springBoard, sel("saveSNTSettings:"), &saveSNTSettings);
  runtime::class_addMethod(springBoard, sel("saveSNTSettingsAndNotify:"),
                           &saveSNTSettingsAndNotify);
  runtime::class_addMethod(springBoard, sel("launchSNTTweakSettings:"), &launchSNTTweakSettings);
  runtime::class_addMethod(springBoard, sel("showSNTAlert:"), &showSNTAlert);
  hookMethod<sig::DidFinishLaunching>(
      "SpringBoard", "applicationDidFinishLaunching:", &replaced_applicationDidFinishLaunching,
      &original_applicationDidFinishLaunching);
  logMissingHookClasses();
  notify::distributedCenter().addObserver(
      kSpringBoardAlertRemovedNotification, [](const std::string&, const plist::Value&) {
        log::line("Received NSDistributedNotificationCenter message (SNT_SPRINGBOARD_ALERT)");
        log::line("received new springboard alert!");
        runloop::asyncMain([] { SNTTestAlertInNewWindow(); });
      });
}

void SNTTestAlertInNewWindow() {
  SENTREL_ASSERT_ON_MAIN_QUEUE();
  Status shown = callUILibrary(kUIEntryTestAlertInNewWindow);
  if (!shown.ok()) log::line("SNTTestAlertInNewWindow: " + shown.reason(), log::Level::kWarning);
}

}  // namespace sentrel
