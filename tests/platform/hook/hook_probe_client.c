/* A plain C program for the preload tests: connects a TCP socket to
 * 127.0.0.1:<port> with connect() and prints "connected" or
 * "failed <errno>" on stdout, nothing else. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  struct sockaddr_in address = {0};
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[1]));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 3;
  if (connect(fd, (struct sockaddr*)&address, sizeof address) == 0) {
    printf("connected\n");
  } else {
    printf("failed %d\n", errno);
  }
  close(fd);
  return 0;
}
