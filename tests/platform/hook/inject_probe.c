/* A plain C program for the injector tests. Prints what its connects did on
 * stdout, nothing else:
 *   inject_probe none             connects nowhere
 *   inject_probe unix PATH        "connected" or "failed <errno>"
 *   inject_probe tcp PORT         the same, to 127.0.0.1:PORT
 *   inject_probe threads PORT N   N threads connect at once: "<k> connected"
 *   inject_probe handler          installs a signal handler (sigaction)
 *   inject_probe signal           installs a signal handler (signal)
 *   inject_probe sigset           the same with sigset()
 *   inject_probe bsd_signal       the same with bsd_signal()
 *   inject_probe sysv_signal      the same with sysv_signal()
 *   inject_probe __sigaction      the same with __sigaction()
 *   inject_probe hold             sigset(SIGUSR1, SIG_HOLD): no handler
 *   inject_probe fork PORT        a second thread runs while the program
 *                                 forks; the child connects and reports
 * Built a second time exporting the symbol of programs that register
 * classes (INJECT_PROBE_REGISTERS_CLASSES). */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* sigset(), sysv_signal() */
#endif
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef INJECT_PROBE_REGISTERS_CLASSES
__attribute__((visibility("default"), used)) const int sentrel_program_registers_classes_v1 = 1;
#endif

static unsigned short port;

static int connectTcp(void) {
  struct sockaddr_in address = {0};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return EMFILE;
  int result = connect(fd, (struct sockaddr*)&address, sizeof address) == 0 ? 0 : errno;
  close(fd);
  return result;
}

static void report(int error) {
  if (error == 0) {
    printf("connected\n");
  } else {
    printf("failed %d\n", error);
  }
}

static void* connectOnce(void* connected) {
  if (connectTcp() == 0) __atomic_add_fetch((int*)connected, 1, __ATOMIC_RELAXED);
  return NULL;
}

/* The C library exports these without declaring them everywhere. */
extern int __sigaction(int, const struct sigaction*, struct sigaction*);
extern __sighandler_t bsd_signal(int, __sighandler_t);

static void onSignal(int signal_number) {
  (void)signal_number;
}

static volatile int stop_spinning;

static void* spin(void* unused) {
  (void)unused;
  while (!stop_spinning) free(malloc(64));
  return NULL;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const char* mode = argv[1];
  if (strcmp(mode, "none") == 0) return 0;
  if (strcmp(mode, "handler") == 0) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    return sigaction(SIGUSR1, &action, NULL) == 0 ? 0 : 3;
  }
  if (strcmp(mode, "signal") == 0) return signal(SIGUSR1, onSignal) == SIG_ERR ? 3 : 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  /* Old, but programs still call it. */
  if (strcmp(mode, "sigset") == 0) return sigset(SIGUSR1, onSignal) == SIG_ERR ? 3 : 0;
  if (strcmp(mode, "hold") == 0) return sigset(SIGUSR1, SIG_HOLD) == SIG_ERR ? 3 : 0;
#pragma GCC diagnostic pop
  if (strcmp(mode, "bsd_signal") == 0) return bsd_signal(SIGUSR1, onSignal) == SIG_ERR ? 3 : 0;
  if (strcmp(mode, "sysv_signal") == 0) return sysv_signal(SIGUSR1, onSignal) == SIG_ERR ? 3 : 0;
  if (strcmp(mode, "__sigaction") == 0) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    return __sigaction(SIGUSR1, &action, NULL) != 0 ? 3 : 0;
  }
  if (argc < 3) return 2;
  if (strcmp(mode, "unix") == 0) {
    struct sockaddr_un address = {0};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, argv[2], sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return 3;
    report(connect(fd, (struct sockaddr*)&address, sizeof address) == 0 ? 0 : errno);
    close(fd);
    return 0;
  }
  port = (unsigned short)atoi(argv[2]);
  if (strcmp(mode, "tcp") == 0) {
    report(connectTcp());
    return 0;
  }
  if (strcmp(mode, "threads") == 0 && argc == 4) {
    int count = atoi(argv[3]);
    if (count < 1 || count > 64) return 2;
    pthread_t threads[64];
    int connected = 0;
    for (int i = 0; i < count; ++i) pthread_create(&threads[i], NULL, connectOnce, &connected);
    for (int i = 0; i < count; ++i) pthread_join(threads[i], NULL);
    printf("%d connected\n", connected);
    return 0;
  }
  if (strcmp(mode, "fork") == 0) {
    pthread_t spinner;
    pthread_create(&spinner, NULL, spin, NULL);
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
      report(connectTcp());
      fflush(stdout);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    stop_spinning = 1;
    pthread_join(spinner, NULL);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 4;
  }
  return 2;
}
