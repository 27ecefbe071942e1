// sentrel-launch: how launchd starts an app. posix_spawn() cannot run code
// between fork and exec, so launchd spawns this small static program, which
// puts the app's walls up and then becomes the app:
//
//   sentrel-launch FD TOKEN PROGRAM ARGV0 [ARGS...]
//
//  1. the app dies with launchd (PR_SET_PDEATHSIG), so no app outlives the
//     supervisor that decides its connections;
//  2. no-new-privileges and the connect filter for TOKEN
//     (platform/supervise/connect_filter.h), with a new listener;
//  3. the listener goes to launchd over FD (a SOCK_SEQPACKET socket, as
//     SCM_RIGHTS with the message "listener"); when the kernel refuses the
//     filter the message is "no filter <errno>" and the app runs without it;
//  4. PROGRAM is executed with ARGV0 and ARGS and this environment. FD is
//     close-on-exec: launchd reads end-of-file once the program runs, or
//     "exec <errno>" when it could not be executed (this exits with 127).
//
// Static, with nothing but the C library: it runs before anything of the
// app and is never given the injected library.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/supervise/connect_filter.h"

extern char** environ;

namespace {

void sendMessage(int fd, const char* text, int passed_fd) {
  iovec part{const_cast<char*>(text), strlen(text)};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (passed_fd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &passed_fd, sizeof passed_fd);
  }
  while (sendmsg(fd, &message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    static const char usage[] = "usage: sentrel-launch FD TOKEN PROGRAM ARGV0 [ARGS...]\n";
    ssize_t ignored = write(STDERR_FILENO, usage, sizeof usage - 1);
    (void)ignored;
    return 2;
  }
  const int channel = atoi(argv[1]);
  const uint64_t token = sentrel::supervise::parseConnectToken(argv[2]);
  if (channel <= STDERR_FILENO || fcntl(channel, F_SETFD, FD_CLOEXEC) != 0 || token == 0) return 2;

  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const sentrel::supervise::ConnectFilter filter = sentrel::supervise::buildConnectFilter(token);
  const int listener = sentrel::supervise::installConnectFilter(filter);
  if (listener >= 0) {
    sendMessage(channel, "listener", listener);
    close(listener);
  } else {
    char text[32];
    snprintf(text, sizeof text, "no filter %d", -listener);
    sendMessage(channel, text, -1);
  }

  execve(argv[3], argv + 4, environ);
  char text[32];
  snprintf(text, sizeof text, "exec %d", errno);
  sendMessage(channel, text, -1);
  return 127;
}
