// The transfer thread owns the curl multi handle and every easy handle; other
// threads only touch the queues below under the lock and wake the thread with
// curl_multi_wakeup(). A finished transfer's callback is taken out of the
// live table under the lock before it runs, which is what makes "exactly once
// unless cancelled" hold when cancel() races the end of a transfer.
#include "platform/base/mutex.h"
#include "platform/foundation/internal/http_transfer.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/log/system_log.h"

namespace sentrel::foundation::internal {
namespace {

constexpr long kConnectTimeoutMs = 30'000;
constexpr long kMaxRedirects = 16;

// RFC 9110 token characters: anything else in a method could end the request
// line early and smuggle headers into it.
bool isHttpToken(const std::string& text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum &&
        std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

std::optional<HttpError> refusal(const URLRequest& request) {
  if (!request.url())
    return HttpError{kErrorUnsupportedURL, "unsupported URL: the request has none"};
  const URL& url = *request.url();
  if (url.scheme() != "http" && url.scheme() != "https") {
    return HttpError{kErrorUnsupportedURL, "unsupported URL: " + url.absoluteString()};
  }
  if (isBlockedHost(url)) return HttpError{kErrorCannotFindHost, kBlockedHostMessage};
  if (!isHttpToken(request.HTTPMethod())) {
    return HttpError{kErrorUnknown, "invalid HTTP method for " + url.absoluteString()};
  }
  return std::nullopt;
}

long errorCode(CURLcode result) {
  switch (result) {
    case CURLE_COULDNT_CONNECT:
      return kErrorCannotConnectToHost;
    case CURLE_COULDNT_RESOLVE_HOST:
      return kErrorCannotFindHost;
    case CURLE_OPERATION_TIMEDOUT:
      return kErrorTimedOut;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kErrorUnsupportedURL;
    default:
      return kErrorUnknown;
  }
}

HttpResult failure(HttpError error) {
  HttpResult result;
  result.error = std::move(error);
  return result;
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

// One running transfer; owned by the transfer thread.
struct Easy {
  TransferId id = 0;
  std::unique_ptr<CURL, EasyDeleter> handle;
  std::optional<URL> requested;
  std::string body;
  char error[CURL_ERROR_SIZE] = {};
};

size_t appendBody(char* data, size_t size, size_t count, void* easy) {
  static_cast<Easy*>(easy)->body.append(data, size * count);
  return size * count;
}

}  // namespace

struct HttpTransfers::State {
  struct Start {
    TransferId id;
    URLRequest request;
    std::optional<HttpError> refused;  // fails without a transfer
  };

  CURLM* multi = nullptr;  // created before the thread; never freed

  Mutex mu;
  TransferId next_id GUARDED_BY(mu) = 1;
  std::map<TransferId, std::function<void(HttpResult)>> callbacks GUARDED_BY(mu);  // live ones
  std::vector<Start> starts GUARDED_BY(mu);
  std::vector<TransferId> cancels GUARDED_BY(mu);

  // Transfer thread only.
  std::map<TransferId, std::unique_ptr<Easy>> running;

  void run();
  void begin(Start start);
  void finish(Easy& easy, CURLcode result);
  void deliver(TransferId id, HttpResult result);
};

void HttpTransfers::State::run() {
  // This is the URL loading system's thread: its connections are decided
  // by the request-level hooks alone, never again by a socket-level hook.
  using Mark = void (*)();
  if (auto mark =
          reinterpret_cast<Mark>(dlsym(RTLD_DEFAULT, "sentrel_connect_url_loading_thread_v1"))) {
    mark();
  }
  for (;;) {
    std::vector<Start> new_starts;
    std::vector<TransferId> new_cancels;
    {
      MutexLock lock(mu);
      new_starts.swap(starts);
      new_cancels.swap(cancels);
    }
    for (Start& start : new_starts) begin(std::move(start));
    for (TransferId id : new_cancels) {
      auto it = running.find(id);
      if (it == running.end()) continue;
      curl_multi_remove_handle(multi, it->second->handle.get());
      running.erase(it);
    }
    int still_running = 0;
    curl_multi_perform(multi, &still_running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      Easy* easy = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &easy);
      const CURLcode result = message->data.result;
      curl_multi_remove_handle(multi, message->easy_handle);
      auto owned = running.extract(easy->id);
      finish(*easy, result);
    }
    // Sleeps until a socket is ready, curl's own timeout or a wakeup.
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
}

void HttpTransfers::State::begin(Start start) {
  {
    MutexLock lock(mu);
    if (!callbacks.contains(start.id)) return;  // cancelled before it began
  }
  if (start.refused) {
    deliver(start.id, failure(std::move(*start.refused)));
    return;
  }
  auto easy = std::make_unique<Easy>();
  easy->id = start.id;
  easy->requested = start.request.url();
  easy->handle.reset(curl_easy_init());
  CURL* h = easy->handle.get();
  if (h == nullptr) {
    deliver(start.id, failure(HttpError{kErrorUnknown, "cannot start a transfer"}));
    return;
  }
  curl_easy_setopt(h, CURLOPT_URL, start.request.url()->absoluteString().c_str());
  curl_easy_setopt(h, CURLOPT_PRIVATE, easy.get());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &appendBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, easy.get());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, easy->error);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");  // bodies arrive decoded, as on the platform
  // Straight to the server, whatever the environment says about proxies: the
  // socket-level firewall must see the real destination.
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  const std::string& method = start.request.HTTPMethod();
  if (method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (method != "GET") {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());  // curl copies it
  }
  if (curl_multi_add_handle(multi, h) != CURLM_OK) {
    deliver(start.id, failure(HttpError{kErrorUnknown, "cannot start a transfer"}));
    return;
  }
  running.emplace(start.id, std::move(easy));
}

void HttpTransfers::State::finish(Easy& easy, CURLcode result) {
  HttpResult out;
  CURL* h = easy.handle.get();
  if (result != CURLE_OK) {
    out.error = HttpError{errorCode(result),
                          easy.error[0] != '\0' ? easy.error : curl_easy_strerror(result)};
    out.url = easy.requested;
    deliver(easy.id, std::move(out));
    return;
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &out.statusCode);
  char* text = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &text) == CURLE_OK && text != nullptr) {
    out.contentType = text;
  }
  text = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &text) == CURLE_OK && text != nullptr) {
    out.url = URL::URLWithString(text);
  }
  if (!out.url) out.url = easy.requested;
  out.body = std::move(easy.body);
  deliver(easy.id, std::move(out));
}

void HttpTransfers::State::deliver(TransferId id, HttpResult result) {
  std::function<void(HttpResult)> done;
  {
    MutexLock lock(mu);
    auto it = callbacks.find(id);
    if (it == callbacks.end()) return;  // cancelled meanwhile
    done = std::move(it->second);
    callbacks.erase(it);
  }
  try {
    done(std::move(result));
  } catch (const std::exception& e) {
    log::line(std::string("HTTP transfer: a completion threw: ") + e.what(), log::Level::kError);
  } catch (...) {
    log::line("HTTP transfer: a completion threw", log::Level::kError);
  }
}

bool isBlockedHost(const URL& url) {
  if (!url.host()) return false;
  std::string host = *url.host();
  if (!host.empty() && host.back() == '.') host.pop_back();
  if (host.size() != 7) return false;
  for (char& c : host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return host == "blocked";
}

HttpTransfers& HttpTransfers::shared() {
  // Keyed by process: a forked child has no transfer thread, so it makes its
  // own set and leaves the parent's one (and its handles) alone.
  static Mutex mu;
  static HttpTransfers* current = nullptr;
  static pid_t owner = 0;
  MutexLock lock(mu);
  if (current == nullptr || owner != getpid()) {
    current = new HttpTransfers();  // lives as long as the process, as its thread does
    owner = getpid();
  }
  return *current;
}

HttpTransfers::HttpTransfers() : state_(new State) {
  static std::once_flag global_init;
  std::call_once(global_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  state_->multi = curl_multi_init();
  if (state_->multi == nullptr) {
    log::line("HTTP transfers: cannot create a curl multi handle", log::Level::kError);
    return;
  }
  std::thread([state = state_] { state->run(); }).detach();
}

TransferId HttpTransfers::start(const URLRequest& request, std::function<void(HttpResult)> done) {
  std::optional<HttpError> refused = refusal(request);
  const bool threaded = state_->multi != nullptr;
  if (!threaded && !refused)
    refused = HttpError{kErrorUnknown, "no HTTP transfers in this process"};
  TransferId id = 0;
  {
    MutexLock lock(state_->mu);
    id = state_->next_id++;
    state_->callbacks.emplace(id, std::move(done));
    if (threaded) state_->starts.push_back(State::Start{id, request, std::move(refused)});
  }
  if (threaded) {
    curl_multi_wakeup(state_->multi);
  } else {
    state_->deliver(id, failure(std::move(*refused)));
  }
  return id;
}

bool HttpTransfers::cancel(TransferId id) {
  std::function<void(HttpResult)> dropped;  // destroyed outside the lock
  {
    MutexLock lock(state_->mu);
    auto it = state_->callbacks.find(id);
    if (it == state_->callbacks.end()) return false;
    dropped = std::move(it->second);
    state_->callbacks.erase(it);
    state_->cancels.push_back(id);
  }
  if (state_->multi != nullptr) curl_multi_wakeup(state_->multi);
  return true;
}

}  // namespace sentrel::foundation::internal
