// The default sink of the system log: syslog plus the device's log file.
// Private to src/platform/log.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/log/system_log.h"

namespace sentrel::log::internal {

// The process-wide default sink. Lives as long as the process.
Sink& defaultSink();

// One line of the device log file, without the trailing newline:
// "2026-12-08 14:00:00.123 SpringBoard[412] text" (local time, milliseconds).
// Trailing newlines of `text` are dropped; inner ones are kept.
std::string formatFileLine(std::string_view process_name, int pid, std::string_view text);
// The same with the time the line was written (CLOCK_REALTIME nanoseconds).
std::string formatFileLine(std::string_view process_name, int pid, std::string_view text,
                           int64_t time_ns);

// syslog(3) under the identity "Sentrel", guarded against fork().
void syslogLine(Level level, std::string_view text) noexcept;
int syslogPriority(Level level);

// The ring's writers (log_ring_linux.cc). appendToRing() finds the device's
// ring when due; false when there is none (the caller logs elsewhere).
// appendToRingSignalSafe() only uses a ring found before: async-signal-safe.
struct Writer;
const Writer& processIdentity();
bool appendToRing(Level level, std::string_view text) noexcept;
bool appendToRingSignalSafe(Level level, std::string_view text) noexcept;
// One datagram to the local syslog socket: async-signal-safe.
void syslogSignalSafe(Level level, std::string_view text) noexcept;

}  // namespace sentrel::log::internal
