// Tables are immutable once published: every change builds a new one under
// the registry's mutex, publishes it with a release store and keeps the old
// one alive, so readers only ever do acquire loads and binary searches.
// Only a method's implementation changes in place (an atomic pointer), which
// is all a hook needs.
#include "platform/runtime/runtime.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>
#include "platform/base/mutex.h"

namespace sentrel::runtime {

struct SelectorRecord {
  std::string name;
};

namespace internal {

struct Method {
  Method(SEL s, const char* t, IMP i) : sel(s), type(t), imp(i) {}
  const SEL sel;
  const char* const type;  // typeid name of the implementation's function type
  std::atomic<IMP> imp;    // swapped by hooks
};

// A class's own methods, sorted by selector address.
struct MethodList {
  std::vector<Method*> methods;
};

// Names to records, sorted by name.
template <class Record>
struct NameIndex {
  std::vector<std::pair<std::string_view, Record*>> entries;

  Record* find(std::string_view name) const noexcept {
    auto it =
        std::lower_bound(entries.begin(), entries.end(), name,
                         [](const auto& entry, std::string_view n) { return entry.first < n; });
    return it != entries.end() && it->first == name ? it->second : nullptr;
  }
};

}  // namespace internal

struct ClassRecord {
  ClassRecord(std::string n, Class super) : name(std::move(n)), superclass(super) {}
  const std::string name;
  const Class superclass;
  std::atomic<const internal::MethodList*> methods{nullptr};  // nullptr: none yet
};

namespace internal {
namespace {

bool sameType(const char* a, const char* b) noexcept {
  return a == b || std::strcmp(a, b) == 0;
}

Method* ownMethod(const ClassRecord* cls, SEL sel) noexcept {
  const MethodList* list = cls->methods.load(std::memory_order_acquire);
  if (list == nullptr) return nullptr;
  auto it = std::lower_bound(list->methods.begin(), list->methods.end(), sel,
                             [](const Method* m, SEL s) { return std::less<SEL>()(m->sel, s); });
  return it != list->methods.end() && (*it)->sel == sel ? *it : nullptr;
}

Method* findMethod(const ClassRecord* cls, SEL sel) noexcept {
  for (; cls != nullptr; cls = cls->superclass) {
    if (Method* m = ownMethod(cls, sel)) return m;
  }
  return nullptr;
}

struct Registry {
  Mutex mutex;  // serialises every change
  std::atomic<const NameIndex<ClassRecord>*> classes{nullptr};
  std::atomic<const NameIndex<SelectorRecord>*> selectors{nullptr};

  // Everything ever made, kept for the life of the process.
  std::deque<ClassRecord> class_records GUARDED_BY(mutex);
  std::deque<SelectorRecord> selector_records GUARDED_BY(mutex);
  std::deque<Method> method_records GUARDED_BY(mutex);
  std::vector<std::unique_ptr<const MethodList>> method_lists GUARDED_BY(mutex);
  std::vector<std::unique_ptr<const NameIndex<ClassRecord>>> class_indexes GUARDED_BY(mutex);
  std::vector<std::unique_ptr<const NameIndex<SelectorRecord>>> selector_indexes GUARDED_BY(mutex);

  // The program's announcement that its classes are registered, and the
  // work that waits for it.
  bool classes_loaded GUARDED_BY(mutex) = false;
  std::vector<void (*)()> waiting_for_classes GUARDED_BY(mutex);

  template <class Record>
  void publish(std::atomic<const NameIndex<Record>*>& index,
               std::vector<std::unique_ptr<const NameIndex<Record>>>& keep, std::string_view name,
               Record* record) REQUIRES(mutex) {
    auto next = std::make_unique<NameIndex<Record>>();
    if (const NameIndex<Record>* current = index.load(std::memory_order_relaxed)) {
      next->entries = current->entries;
    }
    auto at =
        std::lower_bound(next->entries.begin(), next->entries.end(), name,
                         [](const auto& entry, std::string_view n) { return entry.first < n; });
    next->entries.insert(at, {name, record});
    index.store(next.get(), std::memory_order_release);
    keep.push_back(std::move(next));
  }

  // REQUIRES: `cls` has no own method `sel`.
  void addOwnMethod(ClassRecord* cls, SEL sel, IMP imp, const char* type) REQUIRES(mutex) {
    Method* method = &method_records.emplace_back(sel, type, imp);
    auto next = std::make_unique<MethodList>();
    if (const MethodList* current = cls->methods.load(std::memory_order_relaxed)) {
      next->methods = current->methods;
    }
    auto at = std::lower_bound(next->methods.begin(), next->methods.end(), sel,
                               [](const Method* m, SEL s) { return std::less<SEL>()(m->sel, s); });
    next->methods.insert(at, method);
    cls->methods.store(next.get(), std::memory_order_release);
    method_lists.push_back(std::move(next));
  }
};

}  // namespace
}  // namespace internal
}  // namespace sentrel::runtime

// The process-wide rendezvous: every module that contains the runtime asks the
// dynamic linker for the first definition of this symbol, so an executable
// and a library injected into it share the executable's registry. The
// registry is never destroyed: threads may still dispatch while the process
// exits.
extern "C" __attribute__((visibility("default"))) void* sentrel_runtime_registry_v1() {
  static auto* const registry = new sentrel::runtime::internal::Registry;
  return registry;
}

namespace sentrel::runtime {
namespace {

internal::Registry& registry() {
  static internal::Registry* const shared = [] {
    using Anchor = void* (*)();
    auto anchor = reinterpret_cast<Anchor>(dlsym(RTLD_DEFAULT, "sentrel_runtime_registry_v1"));
    if (anchor == nullptr) anchor = &sentrel_runtime_registry_v1;  // not in the global scope
    return static_cast<internal::Registry*>(anchor());
  }();
  return *shared;
}

}  // namespace

Result<Class> registerClass(std::string_view name, Class superclass) {
  internal::Registry& r = registry();
  MutexLock lock(r.mutex);
  const internal::NameIndex<ClassRecord>* index = r.classes.load(std::memory_order_relaxed);
  if (ClassRecord* existing = index ? index->find(name) : nullptr) {
    if (existing->superclass == superclass) return existing;
    return Result<Class>::Error("class " + std::string(name) +
                                " is already registered with another superclass");
  }
  ClassRecord* cls = &r.class_records.emplace_back(std::string(name), superclass);
  r.publish(r.classes, r.class_indexes, cls->name, cls);
  return cls;
}

Class objc_getClass(std::string_view name) noexcept {
  const internal::NameIndex<ClassRecord>* index =
      registry().classes.load(std::memory_order_acquire);
  return index ? index->find(name) : nullptr;
}

const char* class_getName(Class cls) noexcept {
  return cls ? cls->name.c_str() : "nil";
}

Class class_getSuperclass(Class cls) noexcept {
  return cls ? cls->superclass : nullptr;
}

bool programRegistersClasses() noexcept {
  return dlsym(RTLD_DEFAULT, "sentrel_program_registers_classes_v1") != nullptr;
}

void whenClassesLoaded(void (*work)()) {
  if (work == nullptr) return;
  {
    internal::Registry& r = registry();
    MutexLock lock(r.mutex);
    if (!r.classes_loaded && programRegistersClasses()) {
      r.waiting_for_classes.push_back(work);
      return;
    }
  }
  work();
}

void classesLoaded() {
  std::vector<void (*)()> ready;
  {
    internal::Registry& r = registry();
    MutexLock lock(r.mutex);
    if (r.classes_loaded) return;
    r.classes_loaded = true;
    ready.swap(r.waiting_for_classes);
  }
  for (void (*work)() : ready) work();
}

bool class_isKindOf(Class cls, Class kind) noexcept {
  if (kind == nullptr) return false;
  for (; cls != nullptr; cls = cls->superclass) {
    if (cls == kind) return true;
  }
  return false;
}

SEL sel_registerName(std::string_view name) {
  internal::Registry& r = registry();
  if (const auto* index = r.selectors.load(std::memory_order_acquire)) {
    if (SEL sel = index->find(name)) return sel;
  }
  MutexLock lock(r.mutex);
  const auto* index = r.selectors.load(std::memory_order_relaxed);
  if (SEL sel = index ? index->find(name) : nullptr) return sel;  // registered meanwhile
  SelectorRecord* sel = &r.selector_records.emplace_back(SelectorRecord{std::string(name)});
  r.publish(r.selectors, r.selector_indexes, sel->name, sel);
  return sel;
}

const char* sel_getName(SEL sel) noexcept {
  return sel ? sel->name.c_str() : "<null selector>";
}

namespace internal {

bool addMethod(Class cls, SEL sel, IMP imp, const char* type) {
  if (cls == nullptr || sel == nullptr || imp == nullptr) return false;
  Registry& r = registry();
  MutexLock lock(r.mutex);
  if (ownMethod(cls, sel) != nullptr) return false;
  r.addOwnMethod(cls, sel, imp, type);
  return true;
}

Status hookMethod(Class cls, SEL sel, IMP replacement, const char* type,
                  StorePrevious store_previous, void* previous_slot) {
  auto fail = [&](std::string reason) {
    if (previous_slot != nullptr) store_previous(previous_slot, nullptr);
    return Status::Error("cannot hook " + std::string(sel_getName(sel)) + " of " +
                         class_getName(cls) + ": " + reason);
  };
  if (cls == nullptr) return fail("no such class");
  if (sel == nullptr || replacement == nullptr) return fail("no selector or no replacement");
  Registry& r = registry();
  MutexLock lock(r.mutex);
  if (Method* own = ownMethod(cls, sel)) {
    if (!sameType(own->type, type)) return fail("the replacement has another signature");
    // The previous implementation is stored before the replacement becomes
    // visible, so a hook that runs at once already finds it.
    if (previous_slot != nullptr) {
      store_previous(previous_slot, own->imp.load(std::memory_order_relaxed));
    }
    own->imp.store(replacement, std::memory_order_release);
    return Status::Ok();
  }
  Method* inherited = findMethod(cls->superclass, sel);
  if (inherited == nullptr) return fail("no such method");
  if (!sameType(inherited->type, type)) return fail("the replacement has another signature");
  if (previous_slot != nullptr) {
    store_previous(previous_slot, inherited->imp.load(std::memory_order_acquire));
  }
  r.addOwnMethod(cls, sel, replacement, inherited->type);
  return Status::Ok();
}

IMP findImplementation(Class cls, SEL sel, const char* type) noexcept {
  Method* m = findMethod(cls, sel);
  if (m == nullptr || !sameType(m->type, type)) return nullptr;
  return m->imp.load(std::memory_order_acquire);
}

bool hasMethod(Class cls, SEL sel) noexcept {
  return findMethod(cls, sel) != nullptr;
}

void throwUnrecognized(Class cls, SEL sel) {
  Method* m = findMethod(cls, sel);
  throw UnrecognizedSelector(std::string("-[") + class_getName(cls) + " " + sel_getName(sel) +
                             (m ? "]: called with another signature than its method's"
                                : "]: unrecognized selector sent to instance"));
}

}  // namespace internal
}  // namespace sentrel::runtime
