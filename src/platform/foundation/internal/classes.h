// How the Foundation stand-ins register their classes. Each component adds
// its own classes; registerFoundationClasses() calls them all once.
#pragma once

#include <string_view>

#include "platform/runtime/runtime.h"

namespace sentrel::foundation::internal {

void registerURLSessionClasses();
void registerWebViewClasses();
void registerSafariClasses();

// The class `name` under `superclass`; nullptr (logged) when the process
// already has `name` under another superclass.
runtime::Class defineClass(std::string_view name, runtime::Class superclass = nullptr);

// Adds `imp` as `selector` of `cls`, typed by the method's signature so that
// hooks (which use the same signature) are accepted. A method the class
// already has (a second module of the process registered first) is kept.
template <class Signature>
void defineMethod(runtime::Class cls, std::string_view selector, runtime::MethodFn<Signature> imp) {
  if (cls == nullptr) return;
  runtime::class_addMethod(cls, runtime::sel_registerName(selector), imp);
}

// The runtime class `name` after registering the Foundation classes; what the
// stand-ins' constructors give their Object base.
runtime::Class foundationClass(std::string_view name);

}  // namespace sentrel::foundation::internal
