// A fresh temporary folder for one test, removed with everything in it when
// the object goes away.
#pragma once

#include <filesystem>

namespace sentrel::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace sentrel::testing
