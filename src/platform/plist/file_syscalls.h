// The system calls of writeFileAtomically(), through a table that tests may
// patch to make one of them fail (a full disk on write, a failing fsync, a
// rename refused). Production code never touches it.
//
// Not synchronised: patch it only while no other thread writes a property
// list file, and restore it afterwards (ScopedFileSyscalls does).
#pragma once

#include <sys/types.h>

namespace sentrel::plist {

struct FileSyscalls {
  ssize_t (*write)(int, const void*, size_t);
  int (*fsync)(int);
  int (*rename)(const char*, const char*);
};

FileSyscalls& fileSyscalls();

// Restores the table as it was when it goes out of scope.
class ScopedFileSyscalls {
 public:
  ScopedFileSyscalls() : saved_(fileSyscalls()) {}
  ~ScopedFileSyscalls() { fileSyscalls() = saved_; }
  ScopedFileSyscalls(const ScopedFileSyscalls&) = delete;
  ScopedFileSyscalls& operator=(const ScopedFileSyscalls&) = delete;

 private:
  FileSyscalls saved_;
};

}  // namespace sentrel::plist
