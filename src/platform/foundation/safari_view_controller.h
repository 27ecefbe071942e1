// The in-app browser: the device's stand-in for the platform's
// SFSafariViewController. It only records what it was initialised with
// (nothing is shown or fetched); its initialisers dispatch through the
// runtime (signatures in signatures.h) so that a hook can see them and swap
// the URL:
//
//   auto vc = std::make_shared<SFSafariViewController>();
//   vc->initWithURL(url);
//   vc->URL();  // the URL it was initialised with (after any hook)
//
// Threads: any thread; initialise an object before sharing it between threads.
#pragma once

#include <memory>
#include <optional>

#include "platform/foundation/internal/classes.h"
#include "platform/foundation/url.h"
#include "platform/runtime/runtime.h"

namespace sentrel::foundation {

// SFSafariViewControllerConfiguration. A value holder; not thread-safe.
class SFSafariViewControllerConfiguration {
 public:
  bool entersReaderIfAvailable() const { return enters_reader_; }
  void setEntersReaderIfAvailable(bool enters) { enters_reader_ = enters; }

 private:
  bool enters_reader_ = false;
};

class SFSafariViewController : public runtime::Object {
 public:
  SFSafariViewController();

  // Dispatched initialisers: "initWithURL:", "initWithURL:configuration:",
  // "initWithURL:entersReaderIfAvailable:". Each stores its arguments and
  // returns this object (as a hook may return another).
  runtime::id initWithURL(const sentrel::URL& url);
  runtime::id initWithURL(
      const sentrel::URL& url,
      const std::shared_ptr<SFSafariViewControllerConfiguration>& configuration);
  runtime::id initWithURL(const sentrel::URL& url, bool entersReaderIfAvailable);

  // The URL it was initialised with; none before an initialiser ran.
  const std::optional<sentrel::URL>& URL() const { return url_; }
  // The configuration given to initWithURL:configuration:, or nullptr.
  const std::shared_ptr<SFSafariViewControllerConfiguration>& configuration() const {
    return configuration_;
  }
  // Whether it opens in reader mode: the flag or the configuration's.
  bool entersReaderIfAvailable() const { return enters_reader_; }

 private:
  friend void internal::registerSafariClasses();
  static runtime::id initWithURLMethod(runtime::id self, runtime::SEL cmd, const sentrel::URL& url);
  static runtime::id initWithURLConfigurationMethod(
      runtime::id self, runtime::SEL cmd, const sentrel::URL& url,
      const std::shared_ptr<SFSafariViewControllerConfiguration>& configuration);
  static runtime::id initWithURLEntersReaderMethod(runtime::id self, runtime::SEL cmd,
                                                   const sentrel::URL& url, bool enters);

  std::optional<sentrel::URL> url_;
  std::shared_ptr<SFSafariViewControllerConfiguration> configuration_;
  bool enters_reader_ = false;
};

}  // namespace sentrel::foundation
