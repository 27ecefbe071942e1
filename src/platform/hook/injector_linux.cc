// libinject.so: the device's code injection. The launcher preloads this small
// library into every device process and launched program instead of the
// tweak library itself, and it brings the tweak library
// (<this library's folder>/libSentrel.so) in when the process needs it:
//
//  - at once, from this constructor, in a program that registers classes
//    (it exports sentrel_program_registers_classes_v1: the device's apps,
//    SpringBoard, the Settings app), so the tweak's class-load steps and
//    hooks run before the program's own logic, as on the phone;
//  - when the program installs a signal handler (see sigaction() below);
//  - otherwise on the first connect() that the firewall examines (any
//    address but a local socket's or one the kernel would refuse unread).
//    A plain program that never reaches the network and handles no signal
//    (/bin/true, cat, a compiler) pays for this library alone: one small
//    file with no dependencies but the C library, no C++ runtime, no thread.
//
// The tweak library is loaded globally (RTLD_GLOBAL), so the modules of a
// program find its exported rendezvous symbols, and from then on every
// connect() runs the tweak library's own exported connect, which decides
// by the firewall and passes allowed calls to the real one.
//
// When the tweak library cannot be loaded (missing, or refused by the
// dynamic linker) the process goes on, its examined connects fail with
// ENETUNREACH (a firewall that cannot decide lets nothing through) and one
// line goes to the system log; local sockets keep working.
//
// Like the tweak library, this never writes to the program's stdout or
// stderr, keeps the caller's errno on every pass-through, and holds no lock
// but one, taken only to load: racing first connects load once, and a fork()
// waits for a load in progress (see load_mutex). A fork()ed child may load
// the library on its first connect. The load never runs in a signal
// handler: a program that installs a handler (sigaction() or signal()) gets
// the library right then, before any handler can run, and the load blocks
// signals while it runs.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include "platform/supervise/connect_filter.h"

namespace {

using ConnectFunction = int (*)(int, const sockaddr*, socklen_t);

constexpr char kTweakLibraryName[] = "libSentrel.so";

// Published with release stores, read with acquire loads (the compiler's
// atomic built-ins: this library links no C++ runtime).
ConnectFunction real_connect = nullptr;
ConnectFunction tweak_connect = nullptr;
bool load_failed = false;

// Set while this thread loads the tweak library (with every signal blocked):
// a connect() then comes from the library's own initialisers, which reach
// only local sockets; any other is refused rather than loading again.
__thread bool loading __attribute__((tls_model("initial-exec"))) = false;

int connectBySyscall(int socket, const sockaddr* address, socklen_t length) {
  return static_cast<int>(::syscall(SYS_connect, socket, address, length));
}

// The launch's token: the local sockets this passes on carry it, so the
// app's connect filter lets them through without asking the supervisor.
uint64_t connect_token = 0;

int connectWithToken(int socket, const sockaddr* address, socklen_t length) {
  return static_cast<int>(::syscall(SYS_connect, socket, address, length,
                                    __atomic_load_n(&connect_token, __ATOMIC_RELAXED), 0, 0));
}

ConnectFunction realConnect() {
  ConnectFunction real = __atomic_load_n(&real_connect, __ATOMIC_ACQUIRE);
  if (real != nullptr) return real;
  const int saved_errno = errno;
  const uint64_t token = sentrel::supervise::connectTokenForBundle(
      getenv(sentrel::supervise::kConnectTokenEnv), getenv(sentrel::supervise::kBundlePathEnv));
  __atomic_store_n(&connect_token, token, __ATOMIC_RELAXED);
  real = token != 0 ? &connectWithToken
                    : reinterpret_cast<ConnectFunction>(dlsym(RTLD_NEXT, "connect"));
  if (real == nullptr) real = &connectBySyscall;
  __atomic_store_n(&real_connect, real, __ATOMIC_RELEASE);
  errno = saved_errno;
  return real;
}

// Calls the firewall does not examine: no readable address, or a local
// socket's.
bool passesUnexamined(const sockaddr* address, socklen_t length) {
  if (address == nullptr || length < sizeof(sa_family_t) || length > sizeof(sockaddr_storage)) {
    return true;
  }
  sa_family_t family;
  memcpy(&family, &address->sa_family, sizeof family);
  return family == AF_UNIX;
}

// "<folder of this library>/libSentrel.so" into `path`; false if it does
// not fit or this library's own file is unknown.
bool tweakLibraryPath(char (&path)[PATH_MAX]) {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&realConnect), &self) == 0 || self.dli_fname == nullptr) {
    return false;
  }
  const char* slash = strrchr(self.dli_fname, '/');
  const size_t folder = slash == nullptr ? 0 : static_cast<size_t>(slash - self.dli_fname + 1);
  if (folder + sizeof kTweakLibraryName > sizeof path) return false;
  memcpy(path, self.dli_fname, folder);
  memcpy(path + folder, kTweakLibraryName, sizeof kTweakLibraryName);
  return true;
}

// Held while the tweak library loads, and by fork() (below): a fork() from
// another thread waits for a load in progress, so no child is handed a
// library the dynamic linker had half loaded (its relocations not done: the
// child would crash on its first call into it).
pthread_mutex_t load_mutex = PTHREAD_MUTEX_INITIALIZER;

// The tweak library's connect, loading the library on first use; nullptr
// when it cannot be loaded.
ConnectFunction loadTweak() {
  ConnectFunction loaded = __atomic_load_n(&tweak_connect, __ATOMIC_ACQUIRE);
  if (loaded != nullptr || loading || __atomic_load_n(&load_failed, __ATOMIC_ACQUIRE)) {
    return loaded;
  }
  const int saved_errno = errno;
  // No signal handler runs on this thread while the dynamic linker holds its
  // lock for the load: a handler's connect waits until the library decides.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_mutex_lock(&load_mutex);
  // Another thread may have loaded it (or failed to) while this one waited.
  loaded = __atomic_load_n(&tweak_connect, __ATOMIC_ACQUIRE);
  if (loaded != nullptr || __atomic_load_n(&load_failed, __ATOMIC_ACQUIRE)) {
    pthread_mutex_unlock(&load_mutex);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = saved_errno;
    return loaded;
  }
  loading = true;
  char path[PATH_MAX];
  const char* reason = "the injector's own path is unknown";
  if (tweakLibraryPath(path)) {
    if (void* handle = dlopen(path, RTLD_NOW | RTLD_GLOBAL)) {
      loaded = reinterpret_cast<ConnectFunction>(dlsym(handle, "connect"));
      if (loaded == nullptr) reason = "it has no connect";
    } else {
      reason = dlerror();
    }
  }
  loading = false;
  const bool first_failure =
      loaded == nullptr && !__atomic_exchange_n(&load_failed, true, __ATOMIC_ACQ_REL);
  if (loaded != nullptr) __atomic_store_n(&tweak_connect, loaded, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&load_mutex);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (first_failure) {
    syslog(LOG_USER | LOG_ERR,
           "inject: cannot load the tweak library (%s); connections are refused",
           reason != nullptr ? reason : "unknown error");
  }
  errno = saved_errno;
  return loaded;
}

// The C library's functions that install signal handlers, found on first
// use (a library initialised before this one may install one).
template <class Function>
Function next(Function* cache, const char* name) {
  Function found = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
  if (found == nullptr) {
    found = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
    __atomic_store_n(cache, found, __ATOMIC_RELEASE);
  }
  return found;
}
using ForkFunction = pid_t (*)();
ForkFunction real_fork = nullptr;
using SigactionFunction = int (*)(int, const struct sigaction*, struct sigaction*);
using SignalFunction = sighandler_t (*)(int, sighandler_t);
SigactionFunction real_sigaction = nullptr;
SigactionFunction real_internal_sigaction = nullptr;  // __sigaction
SignalFunction real_signal = nullptr;
SignalFunction real_sigset = nullptr;
SignalFunction real_bsd_signal = nullptr;
SignalFunction real_sysv_signal = nullptr;

bool isHandler(sighandler_t handler) {
  return handler != SIG_DFL && handler != SIG_IGN && handler != SIG_ERR && handler != SIG_HOLD;
}

// Set once this library's constructor ran. Handlers installed before then
// (a sanitizer runtime's, while it initialises) load nothing: the process
// cannot load a library yet, and they are not the program's.
bool started = false;

__attribute__((constructor)) void injectorLoaded() {
  realConnect();  // resolved while the process is still single-threaded
  next(&real_fork, "fork");
  next(&real_sigaction, "sigaction");
  next(&real_internal_sigaction, "__sigaction");
  next(&real_signal, "signal");
  next(&real_sigset, "sigset");
  next(&real_bsd_signal, "bsd_signal");
  next(&real_sysv_signal, "__sysv_signal");
  __atomic_store_n(&started, true, __ATOMIC_RELEASE);
  if (dlsym(RTLD_DEFAULT, "sentrel_program_registers_classes_v1") != nullptr) loadTweak();
}

}  // namespace

namespace {

int installAction(SigactionFunction* cache, const char* name, int signal_number,
                  const struct sigaction* action, struct sigaction* previous) {
  if (action != nullptr && isHandler(action->sa_handler) &&
      __atomic_load_n(&started, __ATOMIC_ACQUIRE)) {
    loadTweak();
  }
  SigactionFunction real = next(cache, name);
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return real(signal_number, action, previous);
}

sighandler_t installHandler(SignalFunction* cache, const char* name, int signal_number,
                            sighandler_t handler) {
  if (isHandler(handler) && __atomic_load_n(&started, __ATOMIC_ACQUIRE)) loadTweak();
  SignalFunction real = next(cache, name);
  if (real == nullptr) {
    errno = ENOSYS;
    return SIG_ERR;
  }
  return real(signal_number, handler);
}

}  // namespace

// A program that installs a signal handler gets the tweak library first, so
// that no handler's connect can ever be the one that loads it: loading from
// a handler that interrupted the allocator or the dynamic linker would
// deadlock. Everything else is the C library's own call, unchanged.
extern "C" __attribute__((visibility("default"))) int sigaction(int signal_number,
                                                                const struct sigaction* action,
                                                                struct sigaction* previous) {
  return installAction(&real_sigaction, "sigaction", signal_number, action, previous);
}

extern "C" __attribute__((visibility("default"))) int __sigaction(int signal_number,
                                                                  const struct sigaction* action,
                                                                  struct sigaction* previous) {
  return installAction(&real_internal_sigaction, "__sigaction", signal_number, action, previous);
}

// signal() and the C library's other ways of saying the same (sigset()
// with SIG_HOLD only blocks the signal: no handler).
extern "C" __attribute__((visibility("default"))) sighandler_t signal(int signal_number,
                                                                      sighandler_t handler) {
  return installHandler(&real_signal, "signal", signal_number, handler);
}
extern "C" __attribute__((visibility("default"))) sighandler_t sigset(int signal_number,
                                                                      sighandler_t handler) {
  return installHandler(&real_sigset, "sigset", signal_number, handler);
}
extern "C" __attribute__((visibility("default"))) sighandler_t bsd_signal(int signal_number,
                                                                          sighandler_t handler) {
  return installHandler(&real_bsd_signal, "bsd_signal", signal_number, handler);
}
extern "C" __attribute__((visibility("default"))) sighandler_t __sysv_signal(int signal_number,
                                                                             sighandler_t handler) {
  return installHandler(&real_sysv_signal, "__sysv_signal", signal_number, handler);
}
extern "C" __attribute__((visibility("default"))) sighandler_t sysv_signal(int signal_number,
                                                                           sighandler_t handler) {
  return installHandler(&real_sysv_signal, "__sysv_signal", signal_number, handler);
}

extern "C" __attribute__((visibility("default"))) int connect(int socket, const sockaddr* address,
                                                              socklen_t address_length) {
  if (ConnectFunction tweak = __atomic_load_n(&tweak_connect, __ATOMIC_ACQUIRE)) [[likely]] {
    return tweak(socket, address, address_length);
  }
  if (passesUnexamined(address, address_length)) {
    return realConnect()(socket, address, address_length);
  }
  if (ConnectFunction tweak = loading ? nullptr : loadTweak()) {
    return tweak(socket, address, address_length);
  }
  errno = ENETUNREACH;
  return -1;
}

// fork() waits for a load of the tweak library in progress on another
// thread (see load_mutex). It takes the lock before the C library's fork
// runs its handlers, so the lock comes first in every order: the tweak
// library's own fork handlers, which its load installs, take theirs after.
// A fork from the load itself (a constructor's) waits for nothing.
extern "C" __attribute__((visibility("default"))) pid_t fork() {
  ForkFunction real = next(&real_fork, "fork");
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  if (loading) return real();
  pthread_mutex_lock(&load_mutex);
  const pid_t pid = real();
  const int saved_errno = errno;
  // In the child the lock was copied held; its one thread lets it go.
  pthread_mutex_unlock(&load_mutex);
  errno = saved_errno;
  return pid;
}
