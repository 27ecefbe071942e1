// Who completes a task is decided once, under the task's lock: the transfer's
// end completes a task only while it is still kRunning, and cancel() only a
// task that is still kSuspended or kRunning. Whichever moves the state on
// owns the completion handler, so it runs exactly once however cancel() and
// the end of the transfer race.
#include "platform/base/mutex.h"
#include "platform/foundation/url_session.h"

#include <atomic>

#include "platform/foundation/foundation.h"
#include "platform/foundation/signatures.h"
#include "platform/log/system_log.h"
#include "platform/runloop/run_loop.h"

namespace sentrel::foundation {
namespace {

// A hook may pass a foreign object on to the previous implementation; such a
// call is logged and does nothing rather than touching the wrong type.
URLSessionTask* taskOf(runtime::id self, runtime::SEL cmd) {
  auto* task = dynamic_cast<URLSessionTask*>(self);
  if (task == nullptr && self != nullptr) {
    log::line(std::string("-[NSURLSessionTask ") + runtime::sel_getName(cmd) +
                  "] sent to an object of class " + runtime::class_getName(self->getClass()),
              log::Level::kError);
  }
  return task;
}

}  // namespace

void internal::registerURLSessionClasses() {
  runtime::Class base = defineClass("NSURLSessionTask");
  runtime::Class task = defineClass("__NSCFURLSessionTask", base);
  if (task == nullptr) return;
  // The methods live on the root class, so every kind of task answers them;
  // a hook on "__NSCFURLSessionTask" overrides them for its objects.
  defineMethod<sig::Resume>(base, "resume", &URLSessionTask::resumeMethod);
  defineMethod<sig::Cancel>(base, "cancel", &URLSessionTask::cancelMethod);
  defineMethod<sig::CurrentRequest>(base, "currentRequest", &URLSessionTask::currentRequestMethod);
}

URLSessionTask::URLSessionTask(Passkey, uint64_t identifier, URLRequest request,
                               DataTaskCompletion completion)
    : Object(internal::foundationClass("__NSCFURLSessionTask")),
      identifier_(identifier),
      request_(std::move(request)),
      completion_(std::move(completion)) {}

void URLSessionTask::resume() {
  static const runtime::SEL sel = runtime::sel_registerName("resume");
  runtime::msgSend<sig::Resume>(this, sel);
}

void URLSessionTask::cancel() {
  static const runtime::SEL sel = runtime::sel_registerName("cancel");
  runtime::msgSend<sig::Cancel>(this, sel);
}

std::optional<URLRequest> URLSessionTask::currentRequest() {
  static const runtime::SEL sel = runtime::sel_registerName("currentRequest");
  return runtime::msgSend<sig::CurrentRequest>(this, sel);
}

URLSessionTaskState URLSessionTask::state() const {
  MutexLock lock(mu_);
  return state_;
}

void URLSessionTask::resumeMethod(runtime::id self, runtime::SEL cmd) {
  if (URLSessionTask* task = taskOf(self, cmd)) task->resumeNow();
}

void URLSessionTask::cancelMethod(runtime::id self, runtime::SEL cmd) {
  if (URLSessionTask* task = taskOf(self, cmd)) task->cancelNow();
}

std::optional<URLRequest> URLSessionTask::currentRequestMethod(runtime::id self, runtime::SEL cmd) {
  URLSessionTask* task = taskOf(self, cmd);
  if (task == nullptr) return std::nullopt;
  return task->request_;
}

void URLSessionTask::resumeNow() {
  auto self = std::static_pointer_cast<URLSessionTask>(weak_from_this().lock());
  if (!self) {
    log::line("NSURLSessionTask resume: the task is not owned by a shared_ptr; not started",
              log::Level::kError);
    return;
  }
  {
    MutexLock lock(mu_);
    if (state_ != URLSessionTaskState::kSuspended) return;
    state_ = URLSessionTaskState::kRunning;
  }
  // The transfer's callback owns the task until it ends: that is the
  // session holding its running tasks. The transfer starts outside the lock
  // (its failures may come back at once), so a cancel() may slip in before
  // its id is stored; that transfer is then stopped here.
  internal::HttpTransfers& transfers = internal::HttpTransfers::shared();
  const internal::TransferId id = transfers.start(
      request_, [self](internal::HttpResult result) { self->transferFinished(std::move(result)); });
  bool stop = false;
  {
    MutexLock lock(mu_);
    if (state_ == URLSessionTaskState::kRunning) {
      transfer_ = id;
    } else {
      stop = true;
    }
  }
  if (stop) transfers.cancel(id);
}

void URLSessionTask::cancelNow() {
  auto keep = weak_from_this().lock();  // the transfer's callback may hold the last reference
  internal::TransferId running = 0;
  DataTaskCompletion completion;
  {
    MutexLock lock(mu_);
    if (state_ != URLSessionTaskState::kSuspended && state_ != URLSessionTaskState::kRunning) {
      return;
    }
    state_ = URLSessionTaskState::kCanceling;
    running = transfer_;
    transfer_ = 0;
    completion = std::move(completion_);
  }
  if (running != 0) internal::HttpTransfers::shared().cancel(running);
  deliver(std::move(completion), "", std::nullopt,
          URLError{kNSURLErrorCancelled, kNSURLErrorDomain, "cancelled"});
}

void URLSessionTask::transferFinished(internal::HttpResult result) {
  DataTaskCompletion completion;
  {
    MutexLock lock(mu_);
    if (state_ != URLSessionTaskState::kRunning) return;  // cancelled meanwhile
    state_ = URLSessionTaskState::kCompleted;
    transfer_ = 0;
    completion = std::move(completion_);
  }
  if (result.error) {
    deliver(std::move(completion), "", std::nullopt,
            URLError{result.error->code, kNSURLErrorDomain, std::move(result.error->message)});
    return;
  }
  deliver(std::move(completion), std::move(result.body),
          URLResponse{result.statusCode, std::move(result.url), std::move(result.contentType)},
          std::nullopt);
}

void URLSessionTask::deliver(DataTaskCompletion completion, std::string data,
                             std::optional<URLResponse> response, std::optional<URLError> error) {
  // Tasks are only made by make_shared (URLSession), so the handler can keep
  // the task alive until it has run.
  auto self = std::static_pointer_cast<URLSessionTask>(weak_from_this().lock());
  runloop::asyncGlobal([self = std::move(self), completion = std::move(completion),
                        data = std::move(data), response = std::move(response),
                        error = std::move(error)]() mutable {
    if (self) {
      MutexLock lock(self->mu_);
      self->state_ = URLSessionTaskState::kCompleted;
    }
    if (completion) completion(std::move(data), std::move(response), std::move(error));
  });
}

URLSession& URLSession::sharedSession() {
  static URLSession* const session = new URLSession();  // never destroyed: tasks may outlive main
  return *session;
}

std::shared_ptr<URLSessionTask> URLSession::dataTaskWithRequest(const URLRequest& request,
                                                                DataTaskCompletion completion) {
  static std::atomic<uint64_t> next_identifier{1};
  return std::make_shared<URLSessionTask>(URLSessionTask::Passkey(), next_identifier++, request,
                                          std::move(completion));
}

std::shared_ptr<URLSessionTask> URLSession::dataTaskWithURL(const URL& url,
                                                            DataTaskCompletion completion) {
  return dataTaskWithRequest(URLRequest(url), std::move(completion));
}

}  // namespace sentrel::foundation
