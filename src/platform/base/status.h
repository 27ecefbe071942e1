// Errors of the device layer are values: a Status, or a Result<T> that holds
// either a value or the reason it could not be produced. The reason is a
// one-line human text, logged once where the failure is handled.
#pragma once

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace sentrel {

class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  static Status Ok() { return Status(); }
  static Status Error(std::string reason) {
    Status s;
    s.reason_ = std::move(reason);
    if (s.reason_.empty()) s.reason_ = "unknown error";
    return s;
  }
  // "<what>: <the system's text for err>", e.g. "cannot open /x: Permission denied".
  static Status FromErrno(std::string_view what, int err = errno) {
    return Error(errnoText(what, err));
  }
  static std::string errnoText(std::string_view what, int err = errno);

  bool ok() const { return reason_.empty(); }
  explicit operator bool() const { return ok(); }
  const std::string& reason() const { return reason_; }  // empty when ok

 private:
  std::string reason_;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}       // NOLINT: implicit on purpose
  Result(Status error) : status_(std::move(error)) {  // NOLINT
    if (status_.ok()) status_ = Status::Error("no value");
  }
  static Result Error(std::string reason) { return Result(Status::Error(std::move(reason))); }
  static Result FromErrno(std::string_view what, int err = errno) {
    return Result(Status::FromErrno(what, err));
  }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  // REQUIRES: ok()
  const T& value() const& { return *value_; }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  const T& operator*() const& { return *value_; }
  T& operator*() & { return *value_; }
  const T* operator->() const { return &*value_; }
  T* operator->() { return &*value_; }
  const Status& status() const { return status_; }
  const std::string& reason() const { return status_.reason(); }

 private:
  std::optional<T> value_;
  Status status_;
};

inline std::string Status::errnoText(std::string_view what, int err) {
  std::string text(what);
  text += ": ";
  text += std::strerror(err);
  return text;
}

}  // namespace sentrel
