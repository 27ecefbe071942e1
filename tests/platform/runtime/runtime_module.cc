// A library with its own copy of the runtime, loaded by runtime_test as the
// injected library would be loaded into a host.
#include "platform/runtime/runtime.h"

using namespace sentrel::runtime;

namespace {
int seven(id, SEL) {
  return 7;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) void* runtime_module_find(const char* name) {
  return objc_getClass(name);
}

extern "C" __attribute__((visibility("default"))) void* runtime_module_register(const char* name) {
  sentrel::Result<Class> cls = registerClass(name);
  if (!cls.ok()) return nullptr;
  class_addMethod(*cls, sel_registerName("answer"), &seven);
  return *cls;
}
