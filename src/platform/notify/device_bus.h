// The device bus: a private dbus-daemon per device that carries its
// distributed notifications. Its socket lives inside the device root, so two
// devices on one machine never hear each other.
//
// launchd starts it with startDeviceBus(), reaps it like its other children
// and starts it again when it dies; centers reconnect on their own (see
// makeReconnectingBusCenter()).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "platform/base/status.h"

namespace sentrel::notify {

// The bus socket, as a device path.
inline constexpr const char* kBusSocketDevicePath = "/var/run/sentrel/bus";
// The generated daemon configuration, as a device path.
inline constexpr const char* kBusConfigDevicePath = "/var/run/sentrel/bus.conf";

// "<root>/var/run/sentrel/bus"
std::filesystem::path busSocketPath(const std::filesystem::path& root);
// "unix:path=<root>/var/run/sentrel/bus", escaped as a D-Bus address.
std::string busAddressForRoot(const std::filesystem::path& root);

// Starts `dbus-daemon` (found on PATH) for the device at `root` as a child
// of this process and returns its pid once the bus accepts connections.
// Creates <root>/var/run/sentrel (mode 0700) and writes the configuration
// there: only the user running it may connect, no eavesdropping, no service
// activation, bounded message sizes and connection counts. The socket itself
// gets mode 0600.
//
// Fails, with nothing left running, when dbus-daemon is missing or exits
// early, when the socket path is too long for a unix socket, or when a bus
// already answers on the device's socket (one bus per device).
//
// The caller owns the child: it must reap it (waitpid) or call
// stopDeviceBus(). The daemon is not tied to the caller's life.
// Thread-safe; blocks for at most ~10 s while the daemon starts.
Result<pid_t> startDeviceBus(const std::filesystem::path& root);

// Ends a bus started by startDeviceBus(): SIGTERM, then SIGKILL if it has not
// exited within a few seconds; reaps it and removes its socket. A pid that
// was already reaped elsewhere counts as stopped.
Status stopDeviceBus(pid_t pid, const std::filesystem::path& root);

}  // namespace sentrel::notify
