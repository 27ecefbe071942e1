#include "tweak/UI/ui_library.h"

#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "platform/base/mutex.h"

namespace sentrel {
namespace {

constinit Mutex uiLibraryMu;
void* uiLibrary GUARDED_BY(uiLibraryMu) = nullptr;

// The folder of the module that contains this code (the tweak library).
std::filesystem::path ownFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&callUILibrary), &info) == 0 ||
      info.dli_fname == nullptr)
    return {};
  return std::filesystem::path(info.dli_fname).parent_path();
}

Result<void*> loadedUILibrary() {
  MutexLock lock(uiLibraryMu);
  if (uiLibrary != nullptr) return uiLibrary;
  const std::filesystem::path path = ownFolder() / kUILibraryFileName;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    return Result<void*>::Error("cannot load the UI library " + path.string() + ": " +
                                (why ? why : "unknown error"));
  }
  uiLibrary = handle;
  return handle;
}

}  // namespace

Status callUILibrary(const char* entry) {
  Result<void*> library = loadedUILibrary();
  if (!library.ok()) return Status::Error(library.reason());
  using Entry = void (*)();
  auto call = reinterpret_cast<Entry>(dlsym(*library, entry));
  if (call == nullptr) return Status::Error(std::string("the UI library has no entry ") + entry);
  call();
  return Status::Ok();
}

}  // namespace sentrel
