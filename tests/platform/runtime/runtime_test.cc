// The method runtime. Classes live as long as the process, so every test
// registers classes under names of its own.
#include <dlfcn.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/runtime/runtime.h"

namespace sentrel::runtime {
namespace {

// A stand-in object with some state for its methods.
class Greeter : public Object {
 public:
  using Object::Object;
  std::string name = "world";
};

std::string greet(id self, SEL, const std::string& greeting) {
  return greeting + ", " + static_cast<Greeter*>(self)->name;
}
std::string shout(id self, SEL, const std::string& greeting) {
  return greeting + "!!";
}
int answer(id, SEL) {
  return 42;
}

// A hook chain: each hook marks the result and passes the call on.
using GreetFn = std::string (*)(id, SEL, const std::string&);
GreetFn original_greet = nullptr;
GreetFn original_greet_2 = nullptr;
std::string replaced_greet(id self, SEL cmd, const std::string& greeting) {
  return "[" + original_greet(self, cmd, greeting) + "]";
}
std::string replaced_greet_2(id self, SEL cmd, const std::string& greeting) {
  return "<" + original_greet_2(self, cmd, greeting) + ">";
}

Class newClass(const std::string& name, Class superclass = nullptr) {
  Result<Class> cls = registerClass(name, superclass);
  if (!cls.ok()) throw std::runtime_error(cls.reason());
  return *cls;
}

TEST(AMethodRuntime, FindsRegisteredClassesByNameAndNothingForMissingOnes) {
  EXPECT_EQ(objc_getClass("ARuntimeTestClassNobodyRegisters"), nullptr);
  Class base = newClass("RuntimeTestBase");
  Class derived = newClass("RuntimeTestDerived", base);
  EXPECT_EQ(objc_getClass("RuntimeTestBase"), base);
  EXPECT_EQ(objc_getClass("RuntimeTestDerived"), derived);
  EXPECT_STREQ(class_getName(derived), "RuntimeTestDerived");
  EXPECT_EQ(class_getSuperclass(derived), base);
  EXPECT_EQ(class_getSuperclass(base), nullptr);
}

TEST(AMethodRuntime, ReturnsTheSameClassForARepeatedRegistrationButRefusesAnotherSuperclass) {
  Class base = newClass("RuntimeTestRepeatBase");
  Class cls = newClass("RuntimeTestRepeat", base);
  EXPECT_EQ(newClass("RuntimeTestRepeat", base), cls);
  Result<Class> rebased = registerClass("RuntimeTestRepeat", nullptr);
  EXPECT_FALSE(rebased.ok());
  EXPECT_EQ(class_getSuperclass(objc_getClass("RuntimeTestRepeat")), base);
}

TEST(AMethodRuntime, InternsSelectors) {
  SEL a = sel_registerName("runtimeTest:selector:");
  EXPECT_EQ(sel_registerName(std::string("runtimeTest:") + "selector:"), a);
  EXPECT_NE(sel_registerName("runtimeTest:other:"), a);
  EXPECT_STREQ(sel_getName(a), "runtimeTest:selector:");
}

TEST(AMethodRuntime, DispatchesToAClassesMethodsAndItsSuperclasses) {
  Class base = newClass("RuntimeTestGreeterBase");
  Class cls = newClass("RuntimeTestGreeter", base);
  SEL greet_sel = sel_registerName("greet:");
  SEL answer_sel = sel_registerName("answer");
  ASSERT_TRUE(class_addMethod(base, greet_sel, &greet));
  Greeter greeter(cls);
  EXPECT_EQ(msgSend<std::string(const std::string&)>(&greeter, greet_sel, std::string("hello")),
            "hello, world");

  // A method added to the superclass later is found too.
  ASSERT_TRUE(class_addMethod(base, answer_sel, &answer));
  EXPECT_EQ(msgSend<int()>(&greeter, answer_sel), 42);
  EXPECT_TRUE(respondsToSelector(cls, answer_sel));
  EXPECT_FALSE(respondsToSelector(cls, sel_registerName("runtimeTestNoSuchMethod")));
}

TEST(AMethodRuntime, LeavesAnExistingMethodAloneWhenAddingItAgain) {
  Class base = newClass("RuntimeTestAddBase");
  Class cls = newClass("RuntimeTestAdd", base);
  SEL sel = sel_registerName("greet:");
  ASSERT_TRUE(class_addMethod(base, sel, &greet));
  EXPECT_FALSE(class_addMethod(base, sel, &shout));
  EXPECT_FALSE(class_addMethod(nullptr, sel, &shout));
  Greeter on_base(base);
  EXPECT_EQ(msgSend<std::string(const std::string&)>(&on_base, sel, std::string("hi")),
            "hi, world");

  // A subclass may override what it only inherits.
  EXPECT_TRUE(class_addMethod(cls, sel, &shout));
  Greeter on_derived(cls);
  EXPECT_EQ(msgSend<std::string(const std::string&)>(&on_derived, sel, std::string("hi")), "hi!!");
}

TEST(AMethodRuntime, RefusesCallsWithAnotherSignatureOrAnUnknownSelector) {
  Class cls = newClass("RuntimeTestStrict");
  SEL sel = sel_registerName("answer");
  ASSERT_TRUE(class_addMethod(cls, sel, &answer));
  Greeter object(cls);
  EXPECT_EQ(lookupMethod<long()>(cls, sel), nullptr);
  EXPECT_NE(lookupMethod<int()>(cls, sel), nullptr);
  EXPECT_THROW(msgSend<long()>(&object, sel), UnrecognizedSelector);
  EXPECT_THROW(msgSend<int()>(&object, sel_registerName("runtimeTestMissing")),
               UnrecognizedSelector);
}

TEST(AMethodRuntime, AnswersMessagesToNilWithAnEmptyResult) {
  SEL sel = sel_registerName("greet:");
  EXPECT_EQ(msgSend<std::string(const std::string&)>(nullptr, sel, std::string("hi")), "");
  EXPECT_EQ(msgSend<int()>(nullptr, sel), 0);
  msgSend<void()>(nullptr, sel);
}

TEST(MSHookMessageEx, ReplacesAMethodAndKeepsThePreviousOneForTheHookToCall) {
  Class cls = newClass("RuntimeTestHooked");
  SEL sel = sel_registerName("greet:");
  ASSERT_TRUE(class_addMethod(cls, sel, &greet));
  Greeter greeter(cls);
  ASSERT_TRUE(MSHookMessageEx(cls, sel, &replaced_greet, &original_greet).ok());
  EXPECT_EQ(original_greet, &greet);
  EXPECT_EQ(msgSend<std::string(const std::string&)>(&greeter, sel, std::string("hi")),
            "[hi, world]");

  // A second hook wraps the first.
  ASSERT_TRUE(MSHookMessageEx(cls, sel, &replaced_greet_2, &original_greet_2).ok());
  EXPECT_EQ(original_greet_2, &replaced_greet);
  EXPECT_EQ(msgSend<std::string(const std::string&)>(&greeter, sel, std::string("hi")),
            "<[hi, world]>");
}

TEST(MSHookMessageEx, OverridesAnInheritedMethodInTheHookedClassAlone) {
  Class base = newClass("RuntimeTestHookBase");
  Class cls = newClass("RuntimeTestHookDerived", base);
  SEL sel = sel_registerName("greet:");
  ASSERT_TRUE(class_addMethod(base, sel, &greet));
  ASSERT_TRUE(MSHookMessageEx(cls, sel, &replaced_greet, &original_greet).ok());
  EXPECT_EQ(original_greet, &greet);
  Greeter on_base(base);
  Greeter on_derived(cls);
  EXPECT_EQ(msgSend<std::string(const std::string&)>(&on_base, sel, std::string("hi")),
            "hi, world");
  EXPECT_EQ(msgSend<std::string(const std::string&)>(&on_derived, sel, std::string("hi")),
            "[hi, world]");
}

TEST(MSHookMessageEx, FailsWithoutChangingAnythingForAMissingClassMethodOrSignature) {
  SEL sel = sel_registerName("greet:");
  GreetFn previous = &shout;
  EXPECT_FALSE(
      MSHookMessageEx(objc_getClass("RuntimeTestNoSuchClass"), sel, &replaced_greet, &previous)
          .ok());
  EXPECT_EQ(previous, nullptr);

  Class cls = newClass("RuntimeTestHookRefused");
  previous = &shout;
  EXPECT_FALSE(MSHookMessageEx(cls, sel, &replaced_greet, &previous).ok());
  EXPECT_EQ(previous, nullptr);
  EXPECT_FALSE(respondsToSelector(cls, sel));

  SEL answer_sel = sel_registerName("answer");
  ASSERT_TRUE(class_addMethod(cls, answer_sel, &answer));
  long (*wrong_previous)(id, SEL) = nullptr;
  Status status = MSHookMessageEx(
      cls, answer_sel, +[](id, SEL) { return 7L; }, &wrong_previous);
  EXPECT_FALSE(status.ok());
  Greeter object(cls);
  EXPECT_EQ(msgSend<int()>(&object, answer_sel), 42);
}

TEST(AMethodRuntime, IsSharedWithALibraryLoadedIntoTheProcess) {
  Class here = newClass("RuntimeTestSharedHere");
  void* module = dlopen(SENTREL_RUNTIME_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto find = reinterpret_cast<void* (*)(const char*)>(dlsym(module, "runtime_module_find"));
  auto add = reinterpret_cast<void* (*)(const char*)>(dlsym(module, "runtime_module_register"));
  ASSERT_NE(find, nullptr);
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(find("RuntimeTestSharedHere"), here);
  void* there = add("RuntimeTestSharedThere");
  EXPECT_NE(there, nullptr);
  EXPECT_EQ(objc_getClass("RuntimeTestSharedThere"), there);
  // The module's methods are callable here (its signature names match ours).
  Greeter object(objc_getClass("RuntimeTestSharedThere"));
  EXPECT_EQ(msgSend<int()>(&object, sel_registerName("answer")), 7);
  dlclose(module);
}

}  // namespace
}  // namespace sentrel::runtime
