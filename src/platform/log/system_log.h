// The device's system log.
//
// In a process of a running device, a line is appended to the device's log
// ring (log_ring.h): no lock, no system call; launchd writes it to the
// device's log file "<root>/var/log/system.log" and to syslog under the
// identity "Sentrel". The process name and pid of a line are taken when the
// process first logs and again in a fork()ed child.
// Without a live ring (no device, launchd gone), a line goes to syslog and,
// when the device's log folder exists, straight to the device's log file (one
// write per line, so lines of several processes never interleave), with the
// pid and process name of that moment. `sentrel log` shows the device's log.
// Nothing is ever written to the program's stdout or stderr.
//
// All functions are thread-safe, never throw and never block on anything but
// a local file append (and the local syslog socket). They keep working in a
// fork()ed child and follow a change of device root.
#pragma once

#include <string>
#include <string_view>

namespace sentrel::log {

enum class Level { kDebug, kInfo, kWarning, kError };

// A plain line, as the platform's NSLog writes it.
void line(std::string_view text, Level level = Level::kInfo) noexcept;

// printf-style convenience for the system's fixed texts.
void linef(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// A plain line from a context where only async-signal-safe calls are
// allowed (a signal handler, a vfork() child, the connect hook): into the
// ring this process already uses, else one datagram to the local syslog
// socket. Takes no lock and allocates nothing (except while a test sink is
// installed: then the line goes to that sink, as line() does).
void lineSignalSafe(std::string_view text, Level level = Level::kInfo) noexcept;

// The coloured debug line:
// "\e[1;36m[Sentrel] \e[m\e[0;36m<file>:<line>\e[m \e[0;30;46mDEBUG:\e[m <message>"
// debug() sends it at Level::kDebug.
void debug(std::string_view file, int line_number, std::string_view message) noexcept;
std::string formatDebugLine(std::string_view file, int line_number, std::string_view message);

// Where lines go. Tests install a capturing sink; the default sink writes to
// syslog and the device log file.
// A sink is called from any thread, concurrently; it must not throw and must
// not log itself.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(Level level, std::string_view text) = 0;
};

// Installs `sink` for the whole process (nullptr restores the default) and
// returns the previous one (nullptr for the default). The sink must outlive
// its installation; once setSink() returns, no thread is still inside the
// sink it replaced.
Sink* setSink(Sink* sink) noexcept;

}  // namespace sentrel::log
