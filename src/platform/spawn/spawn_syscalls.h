// The libc calls of spawn.h, through a table that tests may patch to inject
// failures (an EINTR storm, a failing posix_spawn). Production code never
// touches it.
//
// Not synchronised: patch it only while no other thread spawns or waits,
// and restore the original entries afterwards.
#pragma once

#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

namespace sentrel::spawn {

struct Syscalls {
  int (*posix_spawn)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                     const posix_spawnattr_t*, char* const[], char* const[]);
  pid_t (*waitpid)(pid_t, int*, int);
  int (*posix_spawnp)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                      const posix_spawnattr_t*, char* const[], char* const[]);
};

Syscalls& syscalls();

}  // namespace sentrel::spawn
