// Look-up semantics, shared by every backend, and the shared table's life
// cycle (no publisher, closed, dead or replaced publisher, full, corrupt).
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "platform/env/environment.h"
#include "platform/paths/device_paths.h"
#include "platform/proc/internal/shared_table_layout.h"
#include "platform/proc/process_table.h"
#include "platform/proc/shared_process_table.h"
#include "support/temp_dir.h"

namespace sentrel::proc {
namespace {

using Records = std::vector<ProcessRecord>;

// A backend with its way of adding and removing records.
class InMemoryBackend {
 public:
  void add(pid_t pid, pid_t ppid, std::string_view name) { table_.add(pid, ppid, name); }
  void remove(pid_t pid) { table_.remove(pid); }
  const ProcessTable& table() { return table_; }

 private:
  InMemoryProcessTable table_;
};

class SharedBackend {
 public:
  SharedBackend() { publisher_ = std::move(ProcessTablePublisher::create(root_.path())).value(); }
  void add(pid_t pid, pid_t ppid, std::string_view name) {
    ASSERT_TRUE(publisher_->add(pid, ppid, name).ok());
  }
  void remove(pid_t pid) { publisher_->remove(pid); }
  const ProcessTable& table() { return reader_; }

 private:
  testing::TempDir root_;
  env::ScopedEnvironment installed_{{.device_root = root_.path()}};
  std::unique_ptr<ProcessTablePublisher> publisher_;
  SharedProcessTable reader_{root_.path()};
};

template <class Backend>
class AProcessTable : public ::testing::Test {
 protected:
  Backend backend_;
};
using Backends = ::testing::Types<InMemoryBackend, SharedBackend>;
TYPED_TEST_SUITE(AProcessTable, Backends);

TYPED_TEST(AProcessTable, FindsTheLastRecordOfAName) {
  this->backend_.add(300, 1, "SpringBoard");
  this->backend_.add(200, 1, "Preferences");
  this->backend_.add(100, 1, "SpringBoard");
  EXPECT_EQ(this->backend_.table().pidOfProcess("SpringBoard"), 100);
  this->backend_.remove(100);
  EXPECT_EQ(this->backend_.table().pidOfProcess("SpringBoard"), 300);
  this->backend_.add(300, 1, "SpringBoard");  // same pid again: replaced, still found
  EXPECT_EQ(this->backend_.table().pidOfProcess("SpringBoard"), 300);
}

TYPED_TEST(AProcessTable, MatchesCommandNamesExactly) {
  this->backend_.add(10, 1, "SpringBoard");
  EXPECT_EQ(this->backend_.table().pidOfProcess("SpringBoard"), 10);
  EXPECT_EQ(this->backend_.table().pidOfProcess("Spring"), 0);
  EXPECT_EQ(this->backend_.table().pidOfProcess("springboard"), 0);
  EXPECT_EQ(this->backend_.table().pidOfProcess("SpringBoard "), 0);
  EXPECT_EQ(this->backend_.table().pidOfProcess(std::string_view("SpringBoard\0x", 13)), 0);
  EXPECT_EQ(this->backend_.table().pidOfProcess(""), 0);
}

TYPED_TEST(AProcessTable, KeepsOnlyTheKernelsFifteenByteShortName) {
  this->backend_.add(42, 1, "MobileSMSExtension");
  EXPECT_EQ(this->backend_.table().pidOfProcess("MobileSMSExtens"), 42);
  // A name longer than the short name never matches, not even its own.
  EXPECT_EQ(this->backend_.table().pidOfProcess("MobileSMSExtension"), 0);
  EXPECT_EQ(this->backend_.table().snapshot()->at(0).command_name, "MobileSMSExtens");
}

TYPED_TEST(AProcessTable, FindsParentsAndAnswersMinusOneForUnknownPids) {
  this->backend_.add(1000, 1, "launchd");
  this->backend_.add(1001, 1000, "SpringBoard");
  EXPECT_EQ(this->backend_.table().parentOf(1001), 1000);
  EXPECT_EQ(this->backend_.table().parentOf(1000), 1);
  EXPECT_EQ(this->backend_.table().parentOf(4242), -1);
  EXPECT_EQ(this->backend_.table().parentOf(0), -1);
  this->backend_.remove(1001);
  EXPECT_EQ(this->backend_.table().parentOf(1001), -1);
}

TYPED_TEST(AProcessTable, SnapshotsInTableOrderWithAReplacedPidMovedToTheEnd) {
  this->backend_.add(1, 0, "launchd");
  this->backend_.add(2, 1, "backboardd");
  this->backend_.add(3, 1, "SpringBoard");
  this->backend_.add(2, 1, "backboardd");
  Result<Records> records = this->backend_.table().snapshot();
  ASSERT_TRUE(records.ok());
  EXPECT_EQ(*records, (Records{{"launchd", 1, 0}, {"SpringBoard", 3, 1}, {"backboardd", 2, 1}}));
}

TEST(AnInMemoryProcessTable, ReportsAnUnreadableTableAsFailure) {
  InMemoryProcessTable table;
  table.add(5, 1, "launchd");
  table.setUnreadable(true);
  EXPECT_EQ(table.pidOfProcess("launchd"), -1);
  EXPECT_EQ(table.parentOf(5), -1);
  EXPECT_FALSE(table.snapshot().ok());
}

TEST(AProcFsProcessTable, FindsThisProcessAndItsParent) {
  ProcFsProcessTable table;
  Result<Records> records = table.snapshot();
  ASSERT_TRUE(records.ok());
  const auto self = std::find_if(records->begin(), records->end(),
                                 [](const ProcessRecord& r) { return r.pid == getpid(); });
  ASSERT_NE(self, records->end());
  EXPECT_EQ(self->parent_pid, getppid());
  EXPECT_EQ(table.parentOf(getpid()), getppid());
  // Other processes may share our name, and may have started since the
  // snapshot (parallel test runs): the answer is a process of that name.
  const pid_t found = table.pidOfProcess(self->command_name);
  ASSERT_GT(found, 0);
  if (found != getpid()) {
    std::ifstream comm("/proc/" + std::to_string(found) + "/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_TRUE(!comm || name == self->command_name) << name;  // gone again: fine
  }
  EXPECT_EQ(table.pidOfProcess("no-such-process"), 0);
  EXPECT_EQ(table.parentOf(0), -1);
}

class ASharedProcessTable : public ::testing::Test {
 protected:
  std::unique_ptr<ProcessTablePublisher> publish(size_t capacity = kDefaultProcessTableCapacity) {
    Result<std::unique_ptr<ProcessTablePublisher>> publisher =
        ProcessTablePublisher::create(root_.path(), capacity);
    EXPECT_TRUE(publisher.ok()) << publisher.reason();
    return publisher.ok() ? std::move(publisher).value() : nullptr;
  }

  testing::TempDir root_;
  env::ScopedEnvironment installed_{{.device_root = root_.path()}};
  SharedProcessTable::Options eager_{std::chrono::nanoseconds(0)};  // reopen on every query
};

TEST_F(ASharedProcessTable, IsEmptyWithoutAPublisher) {
  SharedProcessTable table(root_.path());
  EXPECT_FALSE(table.isLive());
  EXPECT_EQ(table.pidOfProcess("launchd"), 0);
  EXPECT_EQ(table.parentOf(1), -1);
  Result<Records> records = table.snapshot();
  ASSERT_TRUE(records.ok());
  EXPECT_TRUE(records->empty());
}

TEST_F(ASharedProcessTable, FindsAPublisherThatAppearsLater) {
  SharedProcessTable table(root_.path(), eager_);
  EXPECT_EQ(table.pidOfProcess("launchd"), 0);
  auto publisher = publish();
  ASSERT_TRUE(publisher->add(77, 1, "launchd").ok());
  EXPECT_EQ(table.pidOfProcess("launchd"), 77);
}

TEST_F(ASharedProcessTable, ReadsAsEmptyOnceItsPublisherClosedIt) {
  SharedProcessTable table(root_.path(), eager_);
  auto publisher = publish();
  ASSERT_TRUE(publisher->add(77, 1, "launchd").ok());
  ASSERT_EQ(table.pidOfProcess("launchd"), 77);
  publisher.reset();
  EXPECT_EQ(table.pidOfProcess("launchd"), 0);
  EXPECT_FALSE(table.isLive());
  EXPECT_TRUE(std::filesystem::exists(sharedProcessTablePath(root_.path())));
}

TEST_F(ASharedProcessTable, IgnoresTheTableOfADeadPublisher) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A launchd that crashes: publishes, then dies without closing.
    auto publisher = ProcessTablePublisher::create(root_.path());
    if (publisher.ok()) (void)(*publisher)->add(getpid(), 1, "launchd");
    _exit(publisher.ok() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  SharedProcessTable table(root_.path());
  EXPECT_EQ(table.pidOfProcess("launchd"), 0);
  EXPECT_FALSE(table.isLive());
}

TEST_F(ASharedProcessTable, MovesOnToAPublisherThatReplacedALiveOne) {
  SharedProcessTable table(root_.path(), eager_);
  auto first = publish();
  ASSERT_TRUE(first->add(10, 1, "launchd").ok());
  ASSERT_EQ(table.pidOfProcess("launchd"), 10);
  auto second = publish();  // the first never closed its table
  ASSERT_TRUE(second->add(20, 1, "launchd").ok());
  EXPECT_EQ(table.pidOfProcess("launchd"), 20);
  first.reset();  // closing the replaced table leaves the new one alone
  EXPECT_EQ(table.pidOfProcess("launchd"), 20);
}

TEST_F(ASharedProcessTable, RefusesRecordsWhenFullAndKeepsTheOthers) {
  auto publisher = publish(2);
  ASSERT_TRUE(publisher->add(1, 0, "launchd").ok());
  ASSERT_TRUE(publisher->add(2, 1, "SpringBoard").ok());
  EXPECT_FALSE(publisher->add(3, 1, "Preferences").ok());
  EXPECT_TRUE(publisher->add(2, 1, "SpringBoard").ok());  // replacing needs no room
  EXPECT_EQ(publisher->size(), 2u);
  SharedProcessTable table(root_.path());
  EXPECT_EQ(table.pidOfProcess("Preferences"), 0);
  EXPECT_EQ(table.pidOfProcess("SpringBoard"), 2);
  publisher->clear();
  EXPECT_EQ(table.pidOfProcess("SpringBoard"), 0);
  EXPECT_TRUE(publisher->add(3, 1, "Preferences").ok());
}

TEST_F(ASharedProcessTable, RefusesInvalidRecords) {
  auto publisher = publish();
  EXPECT_FALSE(publisher->add(0, 1, "zero").ok());
  EXPECT_FALSE(publisher->add(-5, 1, "negative").ok());
  EXPECT_FALSE(publisher->add(5, -1, "orphan").ok());
  EXPECT_FALSE(publisher->add(5, 1, std::string_view("nul\0name", 8)).ok());
  EXPECT_EQ(publisher->size(), 0u);
  EXPECT_FALSE(publisher->remove(5));
}

TEST_F(ASharedProcessTable, ReadsAMalformedFileAsEmpty) {
  const std::filesystem::path path = sharedProcessTablePath(root_.path());
  std::filesystem::create_directories(path.parent_path());
  for (const std::string& bytes :
       {std::string(), std::string(10, 'x'), std::string(4096, '\xff')}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    SharedProcessTable table(root_.path());
    EXPECT_EQ(table.pidOfProcess("launchd"), 0);
    EXPECT_EQ(table.parentOf(1), -1);
  }
  // A well-formed header promising more than the file holds.
  auto publisher = publish(16);
  ASSERT_TRUE(publisher->add(7, 1, "launchd").ok());
  std::filesystem::resize_file(path, sizeof(internal::Header) + 10);
  SharedProcessTable table(root_.path());
  EXPECT_EQ(table.pidOfProcess("launchd"), 0);
}

TEST_F(ASharedProcessTable, FailsWhenItsPublisherDiedInTheMiddleOfAChange) {
  int ready[2];
  int go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A launchd that publishes, then dies half-way through its next change.
    auto publisher = ProcessTablePublisher::create(root_.path(), 16);
    if (!publisher.ok() || !(*publisher)->add(7, 1, "launchd").ok()) _exit(1);
    char byte = 0;
    if (write(ready[1], "r", 1) != 1 || read(go[0], &byte, 1) != 1) _exit(1);
    const std::filesystem::path path = sharedProcessTablePath(root_.path());
    const int fd = ::open(path.c_str(), O_RDWR);
    void* base = mmap(nullptr, sizeof(internal::Header), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) _exit(1);
    std::atomic_ref<uint64_t>(static_cast<internal::Header*>(base)->sequence).fetch_add(1);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  SharedProcessTable table(root_.path(), eager_);
  ASSERT_EQ(table.pidOfProcess("launchd"), 7);  // opened while its publisher lives
  ASSERT_EQ(write(go[1], "g", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);

  EXPECT_EQ(table.pidOfProcess("launchd"), -1);
  EXPECT_EQ(table.parentOf(7), -1);
  EXPECT_FALSE(table.snapshot().ok());
  // A new launchd closes the broken table, and readers move on to its own.
  auto publisher = publish();
  ASSERT_TRUE(publisher->add(8, 1, "launchd").ok());
  EXPECT_EQ(table.pidOfProcess("launchd"), 8);
}

TEST_F(ASharedProcessTable, WorksInAForkedChild) {
  auto publisher = publish();
  ASSERT_TRUE(publisher->add(1234, 1, "launchd").ok());
  SharedProcessTable inherited(root_.path());
  ASSERT_EQ(inherited.pidOfProcess("launchd"), 1234);  // mapped before the fork
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No gtest in the child: the exit code tells what went wrong.
    if (inherited.pidOfProcess("launchd") != 1234) _exit(1);
    if (deviceProcessTable().pidOfProcess("launchd") != 1234) _exit(2);
    if (deviceProcessTable().parentOf(1234) != 1) _exit(3);
    _exit(0);
  }
  ASSERT_TRUE(publisher->add(1235, 1234, "SpringBoard").ok());  // the parent goes on writing
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(TheDeviceProcessTable, CanBeReplacedForTestsOfCallers) {
  InMemoryProcessTable fake;
  fake.add(9, 1, "SpringBoard");
  ProcessTable* previous = setDeviceProcessTable(&fake);
  EXPECT_EQ(deviceProcessTable().pidOfProcess("SpringBoard"), 9);
  EXPECT_EQ(setDeviceProcessTable(previous), &fake);
}

}  // namespace
}  // namespace sentrel::proc
