// The signatures of the Foundation stand-ins' dispatched methods. A hook must
// have exactly the signature of the method it replaces (the runtime refuses
// any other), so hooks and the classes both spell them from here:
//
//   runtime::MethodFn<sig::Resume> previous = nullptr;
//   runtime::MSHookMessageEx(runtime::objc_getClass("__NSCFURLSessionTask"),
//                            runtime::sel_registerName("resume"), &myResume, &previous);
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/url.h"
#include "platform/runtime/runtime.h"

namespace sentrel::foundation {

class WKNavigation;
class WKURLSchemeHandler;
class WKWebViewConfiguration;
class SFSafariViewControllerConfiguration;

namespace sig {

// "NSURLSessionTask" / "__NSCFURLSessionTask"
using Resume = void();                               // "resume"
using Cancel = void();                               // "cancel"
using CurrentRequest = std::optional<URLRequest>();  // "currentRequest"

// "WKWebViewConfiguration"
using SchemeHandlerFor =
    std::shared_ptr<WKURLSchemeHandler>(const std::string&);  // "urlSchemeHandlerForURLScheme:"

// "WKWebView"
using LoadRequest = std::shared_ptr<WKNavigation>(const URLRequest&);  // "loadRequest:"
using Reload = std::shared_ptr<WKNavigation>();                        // "reload"
using WebViewURL = std::optional<URL>();                               // "URL"
using Configuration = std::shared_ptr<WKWebViewConfiguration>();       // "configuration"

// "SFSafariViewController"
using InitWithURL = runtime::id(const URL&);  // "initWithURL:"
using InitWithURLConfiguration =
    runtime::id(const URL&, const std::shared_ptr<SFSafariViewControllerConfiguration>&);
// "initWithURL:configuration:"
using InitWithURLEntersReader = runtime::id(const URL&,
                                            bool);  // "initWithURL:entersReaderIfAvailable:"

// "UIApplication" subclasses
using DidFinishLaunching = void(runtime::id);  // "applicationDidFinishLaunching:"

}  // namespace sig
}  // namespace sentrel::foundation
