#include <errno.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <stddef.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/supervise/connect_filter.h"

#ifndef SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV
#define SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV (1UL << 5)
#endif

namespace sentrel::supervise {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "argument words are read low first");

#if defined(__x86_64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_X86_64;
constexpr bool kHasX32 = true;
constexpr uint32_t kX32Bit = 0x40000000;
#elif defined(__aarch64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_AARCH64;
constexpr bool kHasX32 = false;
constexpr uint32_t kX32Bit = 0;
#else
#error "the connect filter knows x86-64 and AArch64"
#endif

constexpr uint32_t kArchOffset = offsetof(seccomp_data, arch);
constexpr uint32_t kNrOffset = offsetof(seccomp_data, nr);
constexpr uint32_t argLow(int i) {
  return static_cast<uint32_t>(offsetof(seccomp_data, args) + 8 * i);
}
constexpr uint32_t argHigh(int i) {
  return argLow(i) + 4;
}

// The filter's exits, as jump targets.
enum Label : int { kAllow, kNotify, kNoSys, kNotPermitted, kNoProtocol, kLabels };

// A small assembler: instructions are appended, jumps name either a label
// (resolved once its place is known) or fall through.
class Assembler {
 public:
  explicit Assembler(ConnectFilter& out) : out_(out) {}

  void load(uint32_t offset) { emit(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset)); }
  void andWith(uint32_t mask) { emit(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, mask)); }
  void ret(uint32_t action) { emit(BPF_STMT(BPF_RET | BPF_K, action)); }
  // if (A <op> k) goto `when_true` else goto `when_false`; -1: next instruction.
  void jump(uint16_t op, uint32_t k, int when_true, int when_false) {
    const unsigned short at = out_.length;
    emit(BPF_JUMP(BPF_JMP | op | BPF_K, k, 0, 0));
    if (when_true >= 0) fixups_[fixup_count_++] = {at, true, when_true};
    if (when_false >= 0) fixups_[fixup_count_++] = {at, false, when_false};
  }
  // Places a label (or a local mark) here.
  void place(int label) { places_[label] = out_.length; }
  int newMark() { return next_mark_++; }

  // Resolves every jump; false when one does not fit (never for this filter).
  bool finish() {
    for (int i = 0; i < fixup_count_; ++i) {
      const Fixup& f = fixups_[i];
      const int distance = places_[f.label] - (f.at + 1);
      if (distance < 0 || distance > 255) return false;
      if (f.when_true) {
        out_.code[f.at].jt = static_cast<unsigned char>(distance);
      } else {
        out_.code[f.at].jf = static_cast<unsigned char>(distance);
      }
    }
    return true;
  }

 private:
  void emit(sock_filter instruction) {
    if (out_.length < kMaxFilterLength) out_.code[out_.length++] = instruction;
  }
  struct Fixup {
    unsigned short at;
    bool when_true;
    int label;
  };
  ConnectFilter& out_;
  Fixup fixups_[2 * kMaxFilterLength] = {};
  int fixup_count_ = 0;
  int places_[kLabels + 32] = {};
  int next_mark_ = kLabels;
};

}  // namespace

ConnectFilter buildConnectFilter(uint64_t token) noexcept {
  ConnectFilter filter;
  Assembler a(filter);
  const int connect_call = a.newMark(), connect_high = a.newMark(), sendto_call = a.newMark(),
            sendmsg_call = a.newMark(), sendmmsg_call = a.newMark(), socket_call = a.newMark(),
            inet_socket = a.newMark(), seccomp_call = a.newMark(), seccomp_filter = a.newMark();

  a.load(kArchOffset);
  a.jump(BPF_JEQ, kNativeArch, -1, kNoSys);
  a.load(kNrOffset);
  if (kHasX32) a.jump(BPF_JGE, kX32Bit, kNoSys, -1);
  a.jump(BPF_JEQ, __NR_connect, connect_call, -1);
  a.jump(BPF_JEQ, __NR_sendto, sendto_call, -1);
  a.jump(BPF_JEQ, __NR_sendmsg, sendmsg_call, -1);
  a.jump(BPF_JEQ, __NR_sendmmsg, sendmmsg_call, -1);
  a.jump(BPF_JEQ, __NR_socket, socket_call, -1);
  a.jump(BPF_JEQ, __NR_io_uring_setup, kNoSys, -1);
  a.jump(BPF_JEQ, __NR_io_uring_enter, kNoSys, -1);
  a.jump(BPF_JEQ, __NR_io_uring_register, kNoSys, -1);
  a.jump(BPF_JEQ, __NR_seccomp, seccomp_call, -1);
  a.jump(BPF_JEQ, __NR_pidfd_getfd, kNotPermitted, kAllow);

  // connect(fd, address, length, token): all 64 bits of the token.
  a.place(connect_call);
  a.load(argLow(3));
  a.jump(BPF_JEQ, static_cast<uint32_t>(token), connect_high, kNotify);
  a.place(connect_high);
  a.load(argHigh(3));
  a.jump(BPF_JEQ, static_cast<uint32_t>(token >> 32), kAllow, kNotify);

  // The flags of the sends are ints: their low word is all the kernel reads.
  a.place(sendto_call);
  a.load(argLow(3));
  a.jump(BPF_JSET, MSG_FASTOPEN, kNotify, kAllow);
  a.place(sendmsg_call);
  a.load(argLow(2));
  a.jump(BPF_JSET, MSG_FASTOPEN, kNotify, kAllow);
  a.place(sendmmsg_call);
  a.load(argLow(3));
  a.jump(BPF_JSET, MSG_FASTOPEN, kNotify, kAllow);

  // socket(domain, type, protocol)
  a.place(socket_call);
  a.load(argLow(0));
  a.jump(BPF_JEQ, AF_INET, inet_socket, -1);
  a.jump(BPF_JEQ, AF_INET6, inet_socket, kAllow);
  a.place(inet_socket);
  a.load(argLow(2));
  a.jump(BPF_JEQ, IPPROTO_SCTP, kNoProtocol, -1);
  a.load(argLow(1));
  a.andWith(0xf);  // the type without SOCK_NONBLOCK and SOCK_CLOEXEC
  a.jump(BPF_JEQ, SOCK_SEQPACKET, kNoProtocol, kAllow);

  // seccomp(operation, flags, ...)
  a.place(seccomp_call);
  a.load(argLow(0));
  a.jump(BPF_JEQ, SECCOMP_SET_MODE_FILTER, seccomp_filter, kAllow);
  a.place(seccomp_filter);
  a.load(argLow(1));
  a.jump(BPF_JSET, SECCOMP_FILTER_FLAG_NEW_LISTENER, kNotPermitted, kAllow);

  a.place(kAllow);
  a.ret(SECCOMP_RET_ALLOW);
  a.place(kNotify);
  a.ret(SECCOMP_RET_USER_NOTIF);
  a.place(kNoSys);
  a.ret(SECCOMP_RET_ERRNO | ENOSYS);
  a.place(kNotPermitted);
  a.ret(SECCOMP_RET_ERRNO | EPERM);
  a.place(kNoProtocol);
  a.ret(SECCOMP_RET_ERRNO | EPROTONOSUPPORT);
  if (!a.finish()) filter.length = 0;
  return filter;
}

int installConnectFilter(const ConnectFilter& filter) noexcept {
  if (filter.length == 0) return -EINVAL;
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -errno;
  sock_fprog program{filter.length, const_cast<sock_filter*>(filter.code)};
  // Waiting killably once the supervisor has the call: a signal to the app
  // then does not make the kernel restart a connect the supervisor is
  // already making for it. Older kernels (before 5.19) refuse the flag.
  long listener =
      syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
              SECCOMP_FILTER_FLAG_NEW_LISTENER | SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV, &program);
  if (listener < 0 && errno == EINVAL) {
    listener =
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program);
  }
  return listener < 0 ? -errno : static_cast<int>(listener);
}

void formatConnectToken(uint64_t token, char (&text)[17]) noexcept {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i) {
    text[i] = kDigits[token & 0xf];
    token >>= 4;
  }
  text[16] = '\0';
}

namespace {

// The token in the first 16 characters of `text`; 0 when they are not hex.
uint64_t parseDigits(const char* text) noexcept {
  uint64_t token = 0;
  for (int i = 0; i < 16; ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return 0;
    }
    token = token << 4 | digit;
  }
  return token;
}

}  // namespace

uint64_t connectTokenForBundle(const char* value, const char* bundle_path) noexcept {
  if (value == nullptr || bundle_path == nullptr) return 0;
  const uint64_t token = parseDigits(value);
  if (token == 0 || value[16] != ':' || strcmp(value + 17, bundle_path) != 0) return 0;
  return token;
}

uint64_t parseConnectToken(const char* text) noexcept {
  if (text == nullptr) return 0;
  for (int i = 0; i < 16; ++i) {
    if (text[i] == '\0') return 0;
  }
  return text[16] == '\0' ? parseDigits(text) : 0;
}

}  // namespace sentrel::supervise
