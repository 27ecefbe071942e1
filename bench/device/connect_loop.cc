// A plain program for the connect benchmark: it knows nothing of Sentrel.
//
//   connect_loop PORT COUNT
//
// connects a fresh TCP socket to 127.0.0.1:PORT and closes it (reset, so no
// TIME_WAIT piles up), COUNT times, timing each connect()+close(), and
// prints "median_ns <n>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

long long nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: connect_loop PORT COUNT\n");
    return 2;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int count = std::max(1, std::atoi(argv[2]));
  std::vector<long long> times;
  times.reserve(static_cast<size_t>(count));
  const linger reset{1, 0};
  for (int i = 0; i < count; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    const long long start = nowNs();
    const int result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    close(fd);
    times.push_back(nowNs() - start);
    if (result != 0) {
      std::printf("failed\n");
      return 1;
    }
  }
  std::nth_element(times.begin(), times.begin() + count / 2, times.end());
  std::printf("median_ns %lld\n", times[static_cast<size_t>(count / 2)]);
  return 0;
}
