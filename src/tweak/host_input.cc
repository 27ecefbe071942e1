#include "tweak/host_input.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <optional>

#include "platform/netdb/netdb.h"

namespace sentrel {
namespace {

// Longer texts are refused before anything looks at them: no host, URL or
// pasted line of a person's is this long.
constexpr size_t kMaxInputLength = 4096;

bool isAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isAsciiAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isHexDigit(char c) {
  return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool allDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isAsciiDigit);
}

Result<HostInput> refuse(std::string reason) {
  return Result<HostInput>::Error(std::move(reason));
}

// "scheme://authority/path": the authority, or nullopt without "://".
// A scheme is a letter followed by letters, digits, "+", "-" or ".".
Result<std::optional<std::string_view>> urlAuthority(std::string_view text) {
  const size_t separator = text.find("://");
  if (separator == std::string_view::npos) return std::optional<std::string_view>();
  const std::string_view scheme = text.substr(0, separator);
  const bool scheme_ok =
      !scheme.empty() && isAsciiAlpha(scheme[0]) &&
      std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return isAsciiAlpha(c) || isAsciiDigit(c) || c == '+' || c == '-' || c == '.';
      });
  if (!scheme_ok) {
    return Result<std::optional<std::string_view>>::Error(
        "the text before :// is not a URL scheme");
  }
  std::string_view authority = text.substr(separator + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  return std::optional<std::string_view>(authority);
}

// The port after a host: 1 to 65535, in decimal.
Status checkPort(std::string_view port) {
  if (port.empty()) return Status::Error("the port after : is empty");
  if (!allDigits(port) || port.size() > 5 || std::stoi(std::string(port)) < 1 ||
      std::stoi(std::string(port)) > 65535) {
    return Status::Error("\"" + std::string(port.substr(0, 16)) + "\" is not a port (1 to 65535)");
  }
  return Status::Ok();
}

bool isIPv6Address(std::string_view text) {
  in6_addr address;
  return inet_pton(AF_INET6, std::string(text).c_str(), &address) == 1;
}

// A text whose last label is a number (or hex) means an IPv4 address: no
// top-level domain is numeric. Only the four-part decimal form is the text
// a connection to it is decided by.
Status checkIPv4(const std::vector<std::string_view>& labels) {
  for (std::string_view label : labels) {
    if (label.size() > 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X')) {
      return Status::Error("write an IPv4 address as four decimal parts, such as 127.0.0.1");
    }
  }
  if (labels.size() != 4) {
    return Status::Error("an IPv4 address has four parts, such as 127.0.0.1");
  }
  for (std::string_view label : labels) {
    if (!allDigits(label)) {
      return Status::Error("an IPv4 address has four decimal parts, such as 127.0.0.1");
    }
    if (label.size() > 3 || std::stoi(std::string(label)) > 255) {
      return Status::Error(std::string(label.substr(0, 16)) +
                           " is out of range for an IPv4 address (0 to 255)");
    }
    if (label.size() > 1 && label[0] == '0') {
      return Status::Error(
          "a part of an IPv4 address starts with 0 (read as octal by some "
          "programs); write it without the leading zero");
    }
  }
  return Status::Ok();
}

Status checkName(std::string_view name) {
  if (name.size() > kMaxHostNameLength) {
    return Status::Error("the host is longer than " + std::to_string(kMaxHostNameLength) +
                         " characters");
  }
  std::vector<std::string_view> labels;
  for (size_t start = 0;;) {
    const size_t dot = name.find('.', start);
    labels.push_back(name.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  for (std::string_view label : labels) {
    if (label.empty())
      return Status::Error("the host has an empty label (two dots in a row, or a dot first)");
    if (label.size() > kMaxHostLabelLength) {
      return Status::Error("a label of the host is longer than " +
                           std::to_string(kMaxHostLabelLength) + " characters");
    }
    for (char c : label) {
      if (isAsciiAlpha(c) || isAsciiDigit(c) || c == '-' || c == '_') continue;
      if (static_cast<unsigned char>(c) >= 0x80) {
        return Status::Error(
            "a name with letters beyond ASCII is written in its xn-- form (as the resolver "
            "sees it)");
      }
      return Status::Error(std::string("a host name holds no \"") + c + "\"");
    }
  }
  const std::string_view last = labels.back();
  const bool hex = last.size() > 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X') &&
                   std::all_of(last.begin() + 2, last.end(), isHexDigit);
  if (allDigits(last) || hex) return checkIPv4(labels);
  return Status::Ok();
}

}  // namespace

Result<HostInput> normalizeHostInput(std::string_view text) {
  if (text.empty()) return refuse("the host is empty");
  if (text.size() > kMaxInputLength) {
    return refuse("the host is longer than " + std::to_string(kMaxHostNameLength) + " characters");
  }
  for (unsigned char c : text) {
    if (c == ' ' || c == '\t') return refuse("a host has no spaces");
    if (c < 0x20 || c == 0x7f) return refuse("a host holds no control characters");
  }
  HostInput out;
  std::string_view rest = text;

  Result<std::optional<std::string_view>> authority = urlAuthority(rest);
  if (!authority) return refuse(authority.reason());
  if (*authority) {
    rest = **authority;
    out.changes.push_back("took the host of the URL");
    if (const size_t at = rest.rfind('@'); at != std::string_view::npos) {
      rest = rest.substr(at + 1);
      out.changes.push_back("dropped the user name");
    }
    if (rest.empty()) return refuse("the URL has no host");
  } else if (const size_t cut = rest.find_first_of("/?#"); cut != std::string_view::npos) {
    const std::string_view after = rest.substr(cut + 1);
    if (rest[cut] == '/' && allDigits(after)) {
      return refuse("a rule names one host, not a range (/" + std::string(after.substr(0, 8)) +
                    ")");
    }
    rest = rest.substr(0, cut);
    if (rest.empty()) return refuse("the host is empty");
    out.changes.push_back("dropped the path");
  }

  std::string_view host = rest;
  std::string_view port;
  bool ipv6 = false;
  if (rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return refuse("the [ is not closed by a ]");
    host = rest.substr(1, close - 1);
    if (host.empty()) return refuse("the brackets hold no address");
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return refuse("only a port may follow the ] (as in [::1]:443)");
      port = after.substr(1);
      if (Status valid = checkPort(port); !valid) return refuse(valid.reason());
    }
    if (!isIPv6Address(host)) return refuse("the brackets hold no IPv6 address");
    ipv6 = true;
  } else if (rest.find(']') != std::string_view::npos) {
    return refuse("the ] closes no [");
  } else if (std::count(rest.begin(), rest.end(), ':') >= 2) {
    if (!isIPv6Address(rest)) {
      return refuse("not an IPv6 address (an address with a port goes in brackets: [::1]:443)");
    }
    ipv6 = true;
  } else if (const size_t colon = rest.find(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (Status valid = checkPort(port); !valid) return refuse(valid.reason());
    if (host.empty()) return refuse("the host before the port is empty");
  }
  if (!port.empty()) out.changes.push_back("dropped the port " + std::string(port));

  if (ipv6) {
    out.host = netdb::canonicalHost(host);
    return out;
  }
  if (host.find('*') != std::string_view::npos) {
    return refuse(
        "a wildcard matches nothing: a rule decides for the one host it names (give "
        "example.com or www.example.com)");
  }
  if (host.size() > 1 && host.back() == '.') {
    host.remove_suffix(1);
    out.changes.push_back("dropped the trailing dot");
  }
  if (Status valid = checkName(host); !valid) return refuse(valid.reason());
  out.host.assign(host);
  bool lowered = false;
  for (char& c : out.host) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
      lowered = true;
    }
  }
  if (lowered) out.changes.push_back("lower-cased");
  return out;
}

std::string describeHostChanges(const std::vector<std::string>& changes) {
  std::string text;
  for (const std::string& change : changes) text += (text.empty() ? "" : ", ") + change;
  return text;
}

}  // namespace sentrel
