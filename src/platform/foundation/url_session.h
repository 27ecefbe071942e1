// URL sessions and their data tasks: the device's stand-ins for the
// platform's NSURLSession and NSURLSessionTask, fetching over real HTTP.
//
// A task's objects have the runtime class "__NSCFURLSessionTask" (a subclass
// of "NSURLSessionTask"). resume(), cancel() and currentRequest() dispatch
// through the runtime (signatures in signatures.h), so a hook installed on
// the class sees, holds or cancels every call.
//
// Life of a task: it starts suspended. resume() starts the transfer (later
// resumes do nothing). cancel() stops it, or completes a task that was never
// resumed, with the error -999 "cancelled" in "NSURLErrorDomain". The
// completion handler runs exactly once for a task that was resumed or
// cancelled, on a global-queue thread; a task that is dropped while still
// suspended never completes. While a transfer runs the session keeps the task
// alive; otherwise its owners do.
//
// Only "http" and "https" URLs are fetched (others complete with -1002), and
// never one whose host is "blocked", the firewall's placeholder host: it
// completes at once with -1003 "blocked: host not found", unresolved. The
// connect phase times out after 30 s (-1001); a transfer has no total limit.
// Connection failures complete with curl's message and -1004 (cannot
// connect), -1003 (cannot find host) or -1 (anything else). A response with
// any HTTP status is a response, not an error.
//
// Threads: every member function may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/mutex.h"
#include "platform/foundation/internal/classes.h"
#include "platform/foundation/internal/http_transfer.h"
#include "platform/foundation/url.h"
#include "platform/runtime/runtime.h"

namespace sentrel::foundation {

// NSHTTPURLResponse, the parts apps read.
struct URLResponse {
  long statusCode = 0;
  std::optional<URL> url;   // where the last redirect led
  std::string contentType;  // the Content-Type header; "" when absent
};

// NSError of the URL loading system.
struct URLError {
  long code = 0;            // NSURLError codes: -999 cancelled, -1001 timed out, ...
  std::string domain;       // "NSURLErrorDomain"
  std::string description;  // curl's message, or "cancelled"
};

inline constexpr long kNSURLErrorCancelled = internal::kErrorCancelled;
inline constexpr const char* kNSURLErrorDomain = "NSURLErrorDomain";

// Called once when a task completes: the body (empty on error), the response
// (none on error) and the error (none on success).
using DataTaskCompletion = std::function<void(std::string data, std::optional<URLResponse> response,
                                              std::optional<URLError> error)>;

enum class URLSessionTaskState { kRunning, kSuspended, kCanceling, kCompleted };

class URLSession;

class URLSessionTask : public runtime::Object {
 public:
  // Only a session makes tasks (URLSession::dataTaskWithRequest).
  class Passkey {
    Passkey() = default;
    friend class URLSession;
  };
  URLSessionTask(Passkey, uint64_t identifier, URLRequest request, DataTaskCompletion completion);

  // Dispatched: "resume", "cancel", "currentRequest".
  void resume();
  void cancel();
  std::optional<URLRequest> currentRequest();

  URLSessionTaskState state() const;
  uint64_t taskIdentifier() const { return identifier_; }  // unique in the process, from 1

 private:
  friend void internal::registerURLSessionClasses();
  static void resumeMethod(runtime::id self, runtime::SEL cmd);
  static void cancelMethod(runtime::id self, runtime::SEL cmd);
  static std::optional<URLRequest> currentRequestMethod(runtime::id self, runtime::SEL cmd);

  void resumeNow();
  void cancelNow();
  void transferFinished(internal::HttpResult result);
  // Hands the completion to the global queue. REQUIRES: this call decided the
  // outcome (moved the state out of kSuspended/kRunning) under mu_.
  void deliver(DataTaskCompletion completion, std::string data, std::optional<URLResponse> response,
               std::optional<URLError> error);

  const uint64_t identifier_;
  const URLRequest request_;

  mutable Mutex mu_;
  URLSessionTaskState state_ GUARDED_BY(mu_) = URLSessionTaskState::kSuspended;
  DataTaskCompletion completion_ GUARDED_BY(mu_);      // taken by the one that completes
  internal::TransferId transfer_ GUARDED_BY(mu_) = 0;  // 0 while none runs
};

// NSURLSession: only the shared session exists.
class URLSession {
 public:
  static URLSession& sharedSession();  // thread-safe; lives as long as the process

  // A new suspended data task; `completion` may be empty.
  std::shared_ptr<URLSessionTask> dataTaskWithRequest(const URLRequest& request,
                                                      DataTaskCompletion completion);
  std::shared_ptr<URLSessionTask> dataTaskWithURL(const URL& url, DataTaskCompletion completion);

 private:
  URLSession() = default;
};

}  // namespace sentrel::foundation
