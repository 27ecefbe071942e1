// HTTP transfers for the URL session and the web view: the one place that
// drives libcurl's transfer API (http_transfer_linux.cc).
//
// One background thread per process runs every transfer (a curl multi
// handle), so callers never block on the network and a held or slow server
// holds no queue thread. Only "http" and "https" are fetched, redirects
// included; other schemes fail as unsupported. A host named "blocked" (the
// firewall's placeholder host) is never fetched, not even resolved: it fails
// at once as a name that does not resolve.
//
// Threads: start() and cancel() may be called from any thread. `done` runs
// on the transfer thread (on the caller's when curl cannot start at all),
// exactly once unless cancel() returned true; it must
// not block (callers hand the result on to a queue).
//
// fork(): the transfer thread is not copied into a child. A child that starts
// transfers gets a fresh transfer thread; transfers started in the parent
// never finish in the child.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/url.h"

namespace sentrel::foundation::internal {

// The platform's URL error codes this layer reports.
inline constexpr long kErrorUnknown = -1;
inline constexpr long kErrorCancelled = -999;
inline constexpr long kErrorTimedOut = -1001;
inline constexpr long kErrorUnsupportedURL = -1002;
inline constexpr long kErrorCannotFindHost = -1003;
inline constexpr long kErrorCannotConnectToHost = -1004;

// The placeholder host's failure text.
inline constexpr const char* kBlockedHostMessage = "blocked: host not found";

struct HttpError {
  long code = kErrorUnknown;  // one of the kError* codes above
  std::string message;        // curl's message, or ours for refusals
};

struct HttpResult {
  long statusCode = 0;             // 0 when no response came
  std::string body;                // the decoded body
  std::string contentType;         // "" when the server sent none
  std::optional<URL> url;          // where the last redirect led
  std::optional<HttpError> error;  // set when the transfer failed
};

// Whether `url`'s host is the placeholder host "blocked" (letter case and a
// final dot ignored, as name resolution ignores them).
bool isBlockedHost(const URL& url);

using TransferId = uint64_t;

class HttpTransfers {
 public:
  // The process's transfers (a fresh set in a forked child).
  static HttpTransfers& shared();

  // Starts fetching `request` and returns its id (never 0). A request the
  // layer refuses (no URL, another scheme, the placeholder host, a method
  // that is not an HTTP token) fails through `done` without touching the
  // network.
  TransferId start(const URLRequest& request, std::function<void(HttpResult)> done);

  // Stops transfer `id`. True when it was still going: its `done` is then
  // never called (and is destroyed before or soon after this returns). False
  // when `done` already ran or is running, or for an unknown id.
  bool cancel(TransferId id);

  struct State;  // defined in the .cc

 private:
  HttpTransfers();
  State* state_;  // lives as long as the process: the transfer thread uses it
};

}  // namespace sentrel::foundation::internal
