// Hosts as a person types them for a rule.
//
// A rule decides for the exact text a connection's host has when it is
// decided (ruleKeyOf): a name as the resolver or the URL gives it, a dotted
// IPv4 address, an IPv6 address in its canonical text. People type URLs,
// "host:port", capitals, ranges and wildcards, none of which ever equals such
// a text. The CLI's rule commands and the Settings app's "New Host" dialog
// pass what was typed through normalizeHostInput():
//  - a URL ("https://user@Example.com:8443/path") is reduced to its host;
//  - a port ("example.com:443", "127.0.0.1:8765", "[::1]:53") is dropped;
//  - a name is lower-cased and loses a trailing dot;
//  - an IPv6 address takes its canonical text ("[0:0::1]" is "::1");
// and each of these is listed in `changes`, so the caller can say so. A text
// that cannot be one host is refused with a reason a person can act on:
// spaces or control characters, a bracket that does not close, empty
// brackets, a CIDR range, a wildcard, a port out of range, an IPv4 address
// with an octet above 255 or fewer than four parts (or in hex), an empty
// label, a label over 63 or a host over 253 characters, characters no host
// name holds.
//
// Only typed input goes through here. Stored documents are never rewritten
// by it: a key that is already stored keeps deciding as it always did.
//
// Pure (no I/O, no log); thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace sentrel {

inline constexpr size_t kMaxHostNameLength = 253;
inline constexpr size_t kMaxHostLabelLength = 63;

struct HostInput {
  std::string host;                  // the key the rule is stored under
  std::vector<std::string> changes;  // what was done to the text ("dropped the port 443")
};

// The host `text` names, or the reason it names none. The reason is a short
// phrase without the text itself ("a host has no spaces").
Result<HostInput> normalizeHostInput(std::string_view text);

// "example.com (dropped the port 443, lower-cased)" style summary of
// `changes`, joined by ", "; empty when there are none.
std::string describeHostChanges(const std::vector<std::string>& changes);

}  // namespace sentrel
