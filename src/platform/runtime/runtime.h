// The method runtime: the device's stand-in for the platform's object runtime
// (objc_getClass, class_addMethod) and for the method hooking of the code
// injection framework (MSHookMessageEx).
//
// A class is a name, an optional superclass and a table of methods. A method
// is a selector and an implementation: a plain function that takes the
// receiver and the selector first,
//
//   R implementation(id self, SEL cmd, Args... args);
//
// Implementations are stored type-erased, together with the name of their
// C++ function type. Every typed entry point checks that name: adding,
// hooking and calling a method with another signature than the one it was
// added with is refused (a Status, a false, a nullptr or an
// UnrecognizedSelector), never undefined behaviour.
//
// The Foundation stand-ins and the device's hosts register their classes and
// add their methods; their objects derive from Object and dispatch their
// hookable calls through msgSend(), so a hook installed on the class sees
// every call. A subclass finds its superclass's methods.
//
// Lifetime: classes, selectors and methods live as long as the process and
// are never removed; Class and SEL handles never dangle.
//
// Threads: look-ups and dispatch (objc_getClass, sel_registerName of a known
// name, lookupMethod, msgSend, respondsToSelector) never lock and never
// allocate: they read immutable tables that writers publish with one atomic
// store. Registration, class_addMethod and MSHookMessageEx may run on any
// thread; they are serialised among themselves and may race dispatch: a call
// that races a hook runs either the old or the new implementation. Each
// change keeps the table it replaced for the rest of the process (tables are
// small and change at start-up), so a reader never sees freed memory.
//
// One runtime per process: a process whose executable and injected library
// both contain this runtime shares one set of classes, found through the
// exported symbol sentrel_runtime_registry_v1 (executables that link the
// runtime export it; see this folder's CMakeLists.txt). Every module of a
// process must come from the same build.
//
// fork(): a child may dispatch freely; it must not register or hook if
// another thread of the parent was doing so at the moment of the fork.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "platform/base/status.h"

namespace sentrel::runtime {

struct ClassRecord;     // defined in runtime.cc
struct SelectorRecord;  // defined in runtime.cc

using Class = ClassRecord*;         // nullptr: no such class
using SEL = const SelectorRecord*;  // interned: equal names, equal SELs
using IMP = void (*)();             // a type-erased implementation

// The base of every object whose methods are dispatched through the runtime.
// The class is fixed at construction. Objects that outlive the call that got
// them (a hook that finishes later) are owned by shared_ptr: make them with
// std::make_shared and keep them alive with retain().
class Object : public std::enable_shared_from_this<Object> {
 public:
  explicit Object(Class cls) noexcept : class_(cls) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  Class getClass() const noexcept { return class_; }

 private:
  Class class_;
};

using id = Object*;

// A strong reference to `self`, or nullptr when `self` is nullptr or not
// owned by a shared_ptr.
inline std::shared_ptr<Object> retain(id self) noexcept {
  return self == nullptr ? nullptr : self->weak_from_this().lock();
}

// Whether `cls` is `kind` or a subclass of it (isKindOfClass:).
bool class_isKindOf(Class cls, Class kind) noexcept;

// The C++ function type of an implementation for the method signature
// R(Args...): MethodFn<void(int)> is void (*)(id, SEL, int).
template <class Signature>
struct MethodTraits;
template <class R, class... Args>
struct MethodTraits<R(Args...)> {
  using Result = R;
  using Fn = R (*)(id, SEL, Args...);
};
template <class Signature>
using MethodFn = typename MethodTraits<Signature>::Fn;

// Thrown by msgSend() for a receiver whose class has no method for the
// selector, or whose method has another signature (the platform raises an
// exception here too).
class UnrecognizedSelector : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// --- Classes and selectors -------------------------------------------------

// The class named `name`, registered with `superclass` (nullptr: a root
// class). Registering a name again returns the class already registered when
// its superclass is the same, and fails otherwise.
Result<Class> registerClass(std::string_view name, Class superclass = nullptr);

// The class named `name`, or nullptr when this process has none.
Class objc_getClass(std::string_view name) noexcept;
const char* class_getName(Class cls) noexcept;  // "nil" for nullptr
Class class_getSuperclass(Class cls) noexcept;  // nullptr for a root class

// The selector for `name`, created on first use. Cache it where calls are
// frequent: only the first call for a name locks.
SEL sel_registerName(std::string_view name);
const char* sel_getName(SEL sel) noexcept;  // "<null selector>" for nullptr

namespace internal {
// Type-erased forms of the typed entry points below. `type` is the
// typeid(...).name() of the implementation's function type; equal types have
// equal names in every module of a process.
bool addMethod(Class cls, SEL sel, IMP imp, const char* type);
// `store_previous(previous_slot, imp)` is called (under the writers' lock,
// before `replacement` is published) with the implementation replaced, or
// with nullptr on failure; `previous_slot` may be nullptr.
using StorePrevious = void (*)(void* previous_slot, IMP imp);
Status hookMethod(Class cls, SEL sel, IMP replacement, const char* type,
                  StorePrevious store_previous, void* previous_slot);
// The implementation `cls` (or its nearest superclass) has for `sel`;
// nullptr when there is none or its type is not `type`.
IMP findImplementation(Class cls, SEL sel, const char* type) noexcept;
bool hasMethod(Class cls, SEL sel) noexcept;
[[noreturn]] void throwUnrecognized(Class cls, SEL sel);

template <class Fn>
const char* typeName() noexcept {
  return typeid(Fn).name();
}
}  // namespace internal

// --- Loading ------------------------------------------------------------------

// A library injected with LD_PRELOAD is initialised before the program's own
// static initialisers, so before the program has registered its classes. A
// program that registers classes says so with
// SENTREL_PROGRAM_REGISTERS_CLASSES() (in one of its own source files) and
// calls classesLoaded() once it has registered them, before its own logic
// runs (UIApplicationMain does this).

// Runs `work` now when the program has announced classesLoaded() or does not
// register classes at all (a foreign program: it has none to wait for);
// otherwise runs it, on the announcing thread, when classesLoaded() comes.
void whenClassesLoaded(void (*work)());

// Announces that the program's classes are registered and runs the waiting
// work in the order it came. Later calls do nothing.
void classesLoaded();

// Whether the program declared SENTREL_PROGRAM_REGISTERS_CLASSES().
bool programRegistersClasses() noexcept;

#define SENTREL_PROGRAM_REGISTERS_CLASSES()               \
  extern "C" __attribute__((visibility("default"), used)) \
  const int sentrel_program_registers_classes_v1 = 1

// --- Methods ----------------------------------------------------------------

// Adds `imp` as the method `sel` of `cls`. Returns false and leaves the class
// as it was when `cls` is nullptr, `imp` is nullptr or `cls` already has its
// own method `sel` (a method inherited from a superclass is overridden).
template <class R, class... Args>
bool class_addMethod(Class cls, SEL sel, R (*imp)(id, SEL, Args...)) {
  return internal::addMethod(cls, sel, reinterpret_cast<IMP>(imp),
                             internal::typeName<R (*)(id, SEL, Args...)>());
}

// Replaces the method `sel` of `cls` with `replacement` and stores the
// implementation it replaced in `*previous` (when `previous` is not nullptr),
// for the hook to pass calls on. `*previous` is written before any thread
// can call `replacement`. A method that `cls` only inherits is overridden in
// `cls` alone, with the inherited implementation as the previous one.
// Fails, changes nothing and stores nullptr in `*previous` when `cls` is
// nullptr (a class missing in this process), `replacement` is nullptr, no
// method `sel` exists for `cls`, or the method has another signature.
template <class R, class... Args>
Status MSHookMessageEx(Class cls, SEL sel, R (*replacement)(id, SEL, Args...),
                       R (**previous)(id, SEL, Args...)) {
  using Fn = R (*)(id, SEL, Args...);
  internal::StorePrevious store = [](void* slot, IMP imp) {
    *static_cast<Fn*>(slot) = reinterpret_cast<Fn>(imp);
  };
  return internal::hookMethod(cls, sel, reinterpret_cast<IMP>(replacement),
                              internal::typeName<Fn>(), store, previous);
}

// The implementation that a call of `sel` on an object of class `cls` runs,
// typed; nullptr when there is none or it has another signature.
template <class Signature>
MethodFn<Signature> lookupMethod(Class cls, SEL sel) noexcept {
  using Fn = MethodFn<Signature>;
  return reinterpret_cast<Fn>(internal::findImplementation(cls, sel, internal::typeName<Fn>()));
}

// Whether objects of class `cls` have a method `sel` (of any signature).
inline bool respondsToSelector(Class cls, SEL sel) noexcept {
  return internal::hasMethod(cls, sel);
}

// Sends `sel` with `args` to `self`: msgSend<void(const Request&)>(view,
// sel, request). A nullptr receiver does nothing and returns a
// value-initialised result, as messages to nil do. Throws
// UnrecognizedSelector when the receiver's class has no method `sel` with
// this signature; whatever the implementation throws passes through.
template <class Signature, class... Args>
typename MethodTraits<Signature>::Result msgSend(id self, SEL sel, Args&&... args) {
  using R = typename MethodTraits<Signature>::Result;
  if (self == nullptr) {
    if constexpr (std::is_void_v<R>) {
      return;
    } else {
      return R{};
    }
  }
  MethodFn<Signature> fn = lookupMethod<Signature>(self->getClass(), sel);
  if (fn == nullptr) internal::throwUnrecognized(self->getClass(), sel);
  return fn(self, sel, std::forward<Args>(args)...);
}

}  // namespace sentrel::runtime
