// The Foundation stand-ins' entry point and the small value services: UUIDs,
// dates and the platform version the device reports.
//
// Classes: URLSessionTask (url_session.h), WKWebView and friends
// (web_view.h), SFSafariViewController (safari_view_controller.h) and
// UIApplication (application.h) are objects of the method runtime; their
// hookable methods (signatures.h) dispatch through runtime::msgSend.
#pragma once

#include <string>

namespace sentrel::foundation {

// Registers the classes "NSURLSessionTask", "__NSCFURLSessionTask",
// "WKNavigation", "WKWebViewConfiguration", "WKWebView" and
// "SFSafariViewController" with their methods. Programs call it before
// they announce runtime::classesLoaded(); constructors of the stand-ins call
// it too. Idempotent and thread-safe. A class that this process already has
// with another superclass is left as it is and logged; objects of it then
// answer no selector.
void registerFoundationClasses();

// NSUUID.
class UUID {
 public:
  // A random (version 4) UUID in upper case: "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
  // Thread-safe.
  static std::string UUIDString();
};

// NSDate: a point in time, as seconds since 1970-01-01 00:00:00 UTC. A value.
class Date {
 public:
  explicit Date(double secondsSince1970) : seconds_(secondsSince1970) {}
  static Date now();  // the system clock (wall time, may jump)

  double timeIntervalSince1970() const { return seconds_; }
  // Seconds from `other` to this date; negative when this one is earlier.
  double timeIntervalSinceDate(const Date& other) const { return seconds_ - other.seconds_; }

  auto operator<=>(const Date&) const = default;

 private:
  double seconds_;
};

// The platform version the device reports (UIDevice systemVersion): "15.0".
std::string systemVersion();
// Whether the device's version is at least major.minor.
bool systemVersionAtLeast(int major, int minor);

}  // namespace sentrel::foundation
