// The log ring's files: the drainer that makes and reads a device's ring,
// and the writers' attachment to it. The ring's algorithms live in
// internal/ring_layout.cc.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/base/fork_registry.h"
#include "platform/log/internal/default_sink.h"
#include "platform/log/internal/ring_layout.h"
#include "platform/log/log_ring.h"
#include "platform/paths/device_paths.h"

namespace sentrel::log {

namespace fs = std::filesystem;

fs::path logRingPath(const fs::path& root) {
  return paths::resolveUnder(root, paths::kRunDir) / "logring";
}

namespace {

int64_t clockNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

bool processAlive(pid_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// Maps the ring file at `path` read-write; nullptr when it is missing or is
// not a ring.
internal::RingHeader* mapRing(const fs::path& path, void** block, size_t* size) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<size_t>(st.st_size) < sizeof(internal::RingHeader) ||
      static_cast<size_t>(st.st_size) > internal::ringBytes(internal::kMaxSlotCount)) {
    close(fd);
    return nullptr;
  }
  const size_t length = static_cast<size_t>(st.st_size);
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (base == MAP_FAILED) return nullptr;
  internal::RingHeader* ring = internal::ringIn(base, length);
  if (ring == nullptr) {
    munmap(base, length);
    return nullptr;
  }
  *block = base;
  *size = length;
  return ring;
}

}  // namespace

// ---- The drainer -------------------------------------------------------------

Result<std::unique_ptr<LogRingDrainer>> LogRingDrainer::create(const fs::path& root,
                                                               uint32_t slot_count) {
  if (slot_count == 0 || slot_count > internal::kMaxSlotCount) {
    return Result<std::unique_ptr<LogRingDrainer>>::Error("bad log ring size");
  }
  const fs::path path = logRingPath(root);
  // Writers of a previous ring let go of it once it says closed.
  void* old_block = nullptr;
  size_t old_size = 0;
  if (internal::RingHeader* old = mapRing(path, &old_block, &old_size)) {
    old->closed.store(1, std::memory_order_release);
    munmap(old_block, old_size);
  }
  const size_t size = internal::ringBytes(slot_count);
  const fs::path fresh = path.string() + ".new." + std::to_string(getpid());
  const int fd = open(fresh.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    return Result<std::unique_ptr<LogRingDrainer>>::Error("cannot create " + fresh.string() + ": " +
                                                          std::strerror(errno));
  }
  void* block = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
    block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  const int saved = errno;
  close(fd);
  if (block == MAP_FAILED) {
    unlink(fresh.c_str());
    return Result<std::unique_ptr<LogRingDrainer>>::Error("cannot map " + fresh.string() + ": " +
                                                          std::strerror(saved));
  }
  internal::initRing(block, slot_count, getpid());
  if (rename(fresh.c_str(), path.c_str()) != 0) {
    const int failed = errno;
    munmap(block, size);
    unlink(fresh.c_str());
    return Result<std::unique_ptr<LogRingDrainer>>::Error("cannot publish " + path.string() + ": " +
                                                          std::strerror(failed));
  }
  return std::unique_ptr<LogRingDrainer>(new LogRingDrainer(root, block, size));
}

LogRingDrainer::LogRingDrainer(fs::path root, void* block, size_t size)
    : root_(std::move(root)),
      block_(block),
      size_(size),
      reader_(std::make_unique<internal::RingReader>(static_cast<internal::RingHeader*>(block))) {}

LogRingDrainer::~LogRingDrainer() {
  auto* ring = static_cast<internal::RingHeader*>(block_);
  ring->closed.store(1, std::memory_order_release);
  drain();
  munmap(block_, size_);
}

size_t LogRingDrainer::drain() {
  std::string batch;
  size_t lines = 0;
  uint64_t lost = 0;
  lines += reader_->drain(
      clockNs(CLOCK_MONOTONIC),
      [&](const internal::DrainedLine& line) {
        internal::syslogLine(line.level,
                             line.name + "[" + std::to_string(line.pid) + "]: " + line.text);
        batch += internal::formatFileLine(line.name, line.pid, line.text, line.time_ns);
        batch += '\n';
      },
      &lost);
  if (lost > 0) {
    const std::string text = std::to_string(lost) + " log line" + (lost == 1 ? "" : "s") +
                             " lost: the device's log ring was full";
    internal::syslogLine(Level::kWarning, text);
    batch += internal::formatFileLine(internal::processIdentity().name, getpid(), text,
                                      clockNs(CLOCK_REALTIME));
    batch += '\n';
    ++lines;
  }
  if (batch.empty()) return 0;
  const fs::path file = paths::resolveUnder(root_, paths::kLogDir) / "system.log";
  const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return lines;
  const char* at = batch.data();
  size_t left = batch.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, at, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    at += n;
    left -= static_cast<size_t>(n);
  }
  close(fd);
  return lines;
}

// ---- The writers' side -----------------------------------------------------------

namespace internal {
namespace {

// A ring this process appends to. Never unmapped: a signal handler may be
// appending to one that has just been replaced.
struct Attachment {
  RingHeader* ring;
  uint64_t root_generation;
};

constinit std::atomic<Attachment*> g_attachment{nullptr};
constinit std::atomic<bool> g_attaching{false};       // a thread is looking for the ring
constinit std::atomic<int64_t> g_next_attempt_ns{0};  // no new look before this (monotonic)
constinit std::atomic<uint64_t> g_attempt_generation{UINT64_MAX};  // root of the last look
constinit Writer g_identity;  // this process, as appends name it
constinit std::atomic<bool> g_identity_known{false};

constexpr int64_t kAttemptIntervalNs = 250'000'000;

void readIdentity(Writer* writer) {
  writer->pid = static_cast<int32_t>(getpid());
  std::memset(writer->name, 0, sizeof writer->name);
  const int fd = open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
  ssize_t n = -1;
  if (fd >= 0) {
    do {
      n = read(fd, writer->name, sizeof writer->name - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
  }
  if (n <= 0) {
    writer->name[0] = '?';
    return;
  }
  for (char& c : writer->name) {
    if (c == '\n') c = '\0';
  }
}

// A fork()ed child is a new process with the parent's mapping: it names
// itself anew and may look for the ring again at once.
void renewInChild() {
  readIdentity(&g_identity);
  g_attaching.store(false);
  g_next_attempt_ns.store(0);
}
[[maybe_unused]] const bool g_fork_handler =
    (base::registerForkHandlers(base::ForkStage::kLog, {.child = &renewInChild}), true);

const Writer& identity() {
  if (!g_identity_known.load(std::memory_order_acquire)) {
    readIdentity(&g_identity);
    g_identity_known.store(true, std::memory_order_release);
  }
  return g_identity;
}

// The ring to append to, looking for it when due. nullptr: none.
Attachment* currentRing() {
  Attachment* attached = g_attachment.load(std::memory_order_acquire);
  const uint64_t generation = paths::rootGeneration();
  if (attached != nullptr && attached->root_generation == generation &&
      attached->ring->closed.load(std::memory_order_acquire) == 0) {
    return attached;
  }
  // Looks at once after a change of root, else at most once per interval.
  const int64_t now = clockNs(CLOCK_MONOTONIC_COARSE);
  const bool root_changed = g_attempt_generation.load(std::memory_order_relaxed) != generation;
  if ((!root_changed && now < g_next_attempt_ns.load(std::memory_order_relaxed)) ||
      g_attaching.exchange(true)) {
    return nullptr;
  }
  g_next_attempt_ns.store(now + kAttemptIntervalNs, std::memory_order_relaxed);
  g_attempt_generation.store(generation, std::memory_order_relaxed);
  Attachment* found = nullptr;
  void* block = nullptr;
  size_t size = 0;
  try {
    if (RingHeader* ring = mapRing(logRingPath(paths::deviceRoot()), &block, &size)) {
      if (ring->closed.load(std::memory_order_acquire) == 0 &&
          processAlive(ring->drainer_pid.load(std::memory_order_relaxed))) {
        found = new Attachment{ring, generation};
      } else {
        munmap(block, size);
      }
    }
  } catch (...) {
    found = nullptr;
  }
  identity();
  // The attachment it replaces stays mapped (see Attachment).
  g_attachment.store(found, std::memory_order_release);
  g_attaching.store(false);
  return found;
}

bool appendTo(Attachment* attached, Level level, std::string_view text) noexcept {
  if (attached == nullptr) return false;
  const AppendOutcome outcome =
      appendRecord(attached->ring, g_identity, level, text, clockNs(CLOCK_REALTIME));
  return outcome != AppendOutcome::kClosed;  // a full ring counted the line
}

// Decimal text of `value` at `out`; returns the end.
char* putNumber(char* out, char* end, long value) {
  char digits[24];
  int n = 0;
  unsigned long v =
      value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && n < static_cast<int>(sizeof digits));
  if (value < 0 && out < end) *out++ = '-';
  while (n > 0 && out < end) *out++ = digits[--n];
  return out;
}

char* putText(char* out, char* end, std::string_view text) {
  const size_t n = std::min(text.size(), static_cast<size_t>(end - out));
  std::memcpy(out, text.data(), n);
  return out + n;
}

}  // namespace

const Writer& processIdentity() {
  return identity();
}

bool appendToRing(Level level, std::string_view text) noexcept {
  Attachment* attached = currentRing();
  if (attached == nullptr) return false;
  return appendTo(attached, level, text);
}

bool appendToRingSignalSafe(Level level, std::string_view text) noexcept {
  if (!g_identity_known.load(std::memory_order_acquire)) return false;
  Attachment* attached = g_attachment.load(std::memory_order_acquire);
  return appendTo(attached, level, text);
}

void syslogSignalSafe(Level level, std::string_view text) noexcept {
  const int saved_errno = errno;
  char message[1024];
  char* out = message;
  char* const end = message + sizeof message;
  out = putText(out, end, "<");
  out = putNumber(out, end, LOG_USER | syslogPriority(level));
  out = putText(out, end, ">Sentrel[");
  out = putNumber(out, end, static_cast<long>(getpid()));
  out = putText(out, end, "]: ");
  out = putText(out, end, text);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, "/dev/log", sizeof "/dev/log");
    sendto(fd, message, static_cast<size_t>(out - message), MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&address), sizeof address);
    close(fd);
  }
  errno = saved_errno;
}

}  // namespace internal
}  // namespace sentrel::log
