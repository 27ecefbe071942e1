// The portable half of the system log: formatting and sink selection. The
// default sink lives in system_log_linux.cc.
#include "platform/log/system_log.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>

#include "platform/base/fork_registry.h"
#include "platform/log/internal/default_sink.h"

namespace sentrel::log {
namespace {

// Lines hold the lock shared while they are inside a sink, so setSink()
// (exclusive) returns only once nobody uses the sink it replaced. The lock
// prefers writers: with readers preferred, threads that log without pause
// would keep setSink() waiting for ever.
pthread_rwlock_t g_sink_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
Sink* g_sink = nullptr;  // under g_sink_lock; nullptr means the default sink

// A fork()ed child has one thread, but may have copied the lock while some
// other thread of the parent held it; it starts from a fresh lock instead.
// (Taking the lock around fork() would not do: glibc takes the child's unlock
// of a lock that the parent's thread id write-locked for a read unlock.)
void resetSinkLockInChild() {
  g_sink_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
}
[[maybe_unused]] const bool g_fork_handler =
    (base::registerForkHandlers(base::ForkStage::kLog, {.child = &resetSinkLockInChild}), true);

void emit(Level level, std::string_view text) noexcept {
  if (pthread_rwlock_rdlock(&g_sink_lock) != 0) return;
  try {
    Sink& sink = g_sink != nullptr ? *g_sink : internal::defaultSink();
    sink.write(level, text);
  } catch (...) {
    // A log line is never worth failing the caller for.
  }
  pthread_rwlock_unlock(&g_sink_lock);
}

}  // namespace

void line(std::string_view text, Level level) noexcept {
  emit(level, text);
}

void linef(const char* format, ...) noexcept {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    va_end(again);
    emit(Level::kInfo, std::string_view(small, static_cast<size_t>(n)));
    return;
  }
  try {
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(big.data(), big.size(), format, again);
    big.resize(static_cast<size_t>(n));
    va_end(again);
    emit(Level::kInfo, big);
  } catch (...) {
    va_end(again);
  }
}

std::string formatDebugLine(std::string_view file, int line_number, std::string_view message) {
  std::string out;
  out.reserve(64 + file.size() + message.size());
  out += "\x1b[1;36m[Sentrel] \x1b[m\x1b[0;36m";
  out += file;
  out += ':';
  out += std::to_string(line_number);
  out += "\x1b[m \x1b[0;30;46mDEBUG:\x1b[m ";
  out += message;
  return out;
}

void debug(std::string_view file, int line_number, std::string_view message) noexcept {
  try {
    emit(Level::kDebug, formatDebugLine(file, line_number, message));
  } catch (...) {
  }
}

Sink* setSink(Sink* sink) noexcept {
  pthread_rwlock_wrlock(&g_sink_lock);
  Sink* previous = g_sink;
  g_sink = sink;
  pthread_rwlock_unlock(&g_sink_lock);
  return previous;
}

}  // namespace sentrel::log
