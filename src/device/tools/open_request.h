// Asking the device's launchd to launch an app (what `open <bundle id>` does).
//
// A request is a text file in the spool folder kOpenSpoolDir of the device:
// the bundle id on the first line, then one line per argument, each line
// ended by '\n'. It gets its final name "<time>-<pid>-<n>.request" by an
// atomic rename, so a reader never sees half a request, and names sort in
// the order the requests were made. Hidden files (".…") are unfinished.
//
// A bundle id is 1 to 255 characters of [A-Za-z0-9._-]; arguments hold
// neither '\n' nor NUL.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace sentrel::tools {

inline constexpr const char* kOpenSpoolDir = "/var/run/sentrel/open";
inline constexpr size_t kMaxOpenRequestBytes = 64 * 1024;

struct OpenRequest {
  std::string bundle_id;
  std::vector<std::string> args;

  bool operator==(const OpenRequest&) const = default;
};

bool isValidBundleId(std::string_view bundle_id);
// Empty when `request` can be written; otherwise why not.
Status validateOpenRequest(const OpenRequest& request);

// The file text of a valid request, and back; nullopt for text that is not
// exactly what formatOpenRequest() writes for some valid request.
std::string formatOpenRequest(const OpenRequest& request);
std::optional<OpenRequest> parseOpenRequest(std::string_view text);

// Drops a request into the spool of the device at `root` and signals its
// launchd. Fails (and leaves nothing behind) for an invalid request, when no
// launchd runs on that device, or when the spool cannot be written. Blocking
// file I/O; any thread.
Status requestOpen(const std::filesystem::path& root, std::string bundle_id,
                   std::vector<std::string> args);

// For launchd: takes every finished request out of the spool of the device
// at `root`, oldest first, removing their files. A malformed or oversized
// file is logged and removed. Only one process should drain a spool; if two
// do, each request still goes to exactly one of them.
std::vector<OpenRequest> drainOpenRequests(const std::filesystem::path& root);

}  // namespace sentrel::tools
