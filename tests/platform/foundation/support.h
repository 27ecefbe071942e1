// Test helpers for the Foundation stand-ins: an HTTP server on 127.0.0.1
// that answers every request with one fixed response, a port that refuses
// connections, and recorders of task completions and web pages. Nothing here
// touches the network beyond the loopback interface.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/foundation/url_session.h"
#include "platform/foundation/web_view.h"

namespace sentrel::testing {

inline constexpr std::chrono::seconds kGenerousTimeout{20};

class LoopbackServer {
 public:
  explicit LoopbackServer(const std::string& body = "hello", int status = 200);
  ~LoopbackServer();

  std::string url(const std::string& path = "/") const;  // "http://127.0.0.1:<port><path>"
  // While held, requests are read and counted but not answered; release()
  // answers the held ones and every later one.
  void hold();
  void release();
  size_t requests() const;
  std::vector<std::string> requestLines() const;  // "GET / HTTP/1.1", in arrival order
  bool waitForRequests(size_t count) const;

 private:
  void serve();

  const std::string response_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;  // eventfd: release or stop
  uint16_t port_ = 0;
  mutable Mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_ GUARDED_BY(mu_);
  bool held_ GUARDED_BY(mu_) = false;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

// A loopback port that is bound but never listens: connecting is refused.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Collects items that arrive on any thread.
template <class T>
class Recorder {
 public:
  void add(T item) {
    // Notified under the lock: a waiter that sees the item may destroy the
    // recorder as soon as the lock is free.
    MutexLock lock(mu_);
    items_.push_back(std::move(item));
    changed_.notify_all();
  }
  bool waitFor(size_t count) const {
    MutexLock lock(mu_);
    return lock.waitFor(changed_, kGenerousTimeout, [&] {
      mu_.assertHeld();
      return items_.size() >= count;
    });
  }
  std::vector<T> items() const {
    MutexLock lock(mu_);
    return items_;
  }
  size_t count() const {
    MutexLock lock(mu_);
    return items_.size();
  }

 private:
  mutable Mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<T> items_ GUARDED_BY(mu_);
};

struct TaskOutcome {
  std::string data;
  std::optional<foundation::URLResponse> response;
  std::optional<foundation::URLError> error;
};

class CompletionRecorder : public Recorder<TaskOutcome> {
 public:
  foundation::DataTaskCompletion handler() {
    return [this](std::string data, std::optional<foundation::URLResponse> response,
                  std::optional<foundation::URLError> error) {
      add({std::move(data), std::move(response), std::move(error)});
    };
  }
};

// Records what `webView`'s navigation delegate is told. REQUIRES: outlives
// the web view's loads.
class PageRecorder : public Recorder<foundation::WebPage> {
 public:
  explicit PageRecorder(foundation::WKWebView& webView) {
    webView.setNavigationDelegate([this](const foundation::WebPage& page) { add(page); });
  }
};

}  // namespace sentrel::testing
