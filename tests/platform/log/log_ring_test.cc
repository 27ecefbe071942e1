#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "file_line.h"
#include "platform/log/internal/ring_layout.h"
#include "platform/log/log_ring.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "support/temp_dir.h"

namespace sentrel::log {
namespace {

namespace fs = std::filesystem;
using internal::AppendOutcome;
using internal::DrainedLine;
using internal::RingHeader;
using internal::RingReader;

// A ring in shared anonymous memory, so that fork()ed children append to the
// parent's ring as device processes append to launchd's.
class SharedRing {
 public:
  explicit SharedRing(uint32_t slots) : size_(internal::ringBytes(slots)) {
    block_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    internal::initRing(block_, slots, getpid());
    ring_ = internal::ringIn(block_, size_);
  }
  ~SharedRing() { munmap(block_, size_); }
  RingHeader* get() const { return ring_; }

 private:
  size_t size_;
  void* block_;
  RingHeader* ring_;
};

internal::Writer writerNamed(const char* name) {
  internal::Writer writer;
  writer.pid = static_cast<int32_t>(getpid());
  std::snprintf(writer.name, sizeof writer.name, "%s", name);
  return writer;
}

AppendOutcome append(RingHeader* ring, std::string_view text, const char* name = "tester") {
  return internal::appendRecord(ring, writerNamed(name), Level::kInfo, text, 0);
}

// Everything drained until `done` says so (or nothing more comes for long).
std::vector<DrainedLine> drainAll(RingReader& reader, uint64_t* lost_total, int64_t now_ns = 0) {
  std::vector<DrainedLine> lines;
  uint64_t lost = 0;
  reader.drain(
      now_ns, [&](const DrainedLine& l) { lines.push_back(l); }, &lost);
  if (lost_total != nullptr) *lost_total += lost;
  return lines;
}

// "w<writer> <sequence> " then a pattern that a torn line would break; the
// length varies so that lines take one to several slots.
std::string lineOf(int writer, int sequence) {
  std::string text = "w" + std::to_string(writer) + " " + std::to_string(sequence) + " ";
  const size_t length = static_cast<size_t>((sequence * 97) % 900);
  for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + (writer + i) % 26);
  return text;
}

bool isWhole(const std::string& text, int* writer, int* sequence) {
  std::istringstream in(text);
  char w = 0;
  in >> w >> *writer >> *sequence;
  return w == 'w' && in && text == lineOf(*writer, *sequence);
}

TEST(ALogRing, HandsOutLinesInOrderWithWhoWroteThemAndWhen) {
  SharedRing ring(64);
  const internal::Writer writer = writerNamed("SpringBoard");
  internal::appendRecord(ring.get(), writer, Level::kWarning, "first\n\n", 1234);
  internal::appendRecord(ring.get(), writer, Level::kInfo, std::string(1000, 'x'), 5678);
  RingReader reader(ring.get());
  uint64_t lost = 0;
  std::vector<DrainedLine> lines = drainAll(reader, &lost);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "first");
  EXPECT_EQ(lines[0].name, "SpringBoard");
  EXPECT_EQ(lines[0].pid, getpid());
  EXPECT_EQ(lines[0].level, Level::kWarning);
  EXPECT_EQ(lines[0].time_ns, 1234);
  EXPECT_EQ(lines[1].text, std::string(1000, 'x'));
  EXPECT_EQ(lost, 0u);
  EXPECT_TRUE(drainAll(reader, &lost).empty());
}

TEST(ALogRing, CountsTheLinesItHadNoRoomForAndTakesLinesAgainOnceDrained) {
  SharedRing ring(4);
  int appended = 0;
  for (int i = 0; i < 10; ++i) appended += append(ring.get(), "line") == AppendOutcome::kAppended;
  EXPECT_EQ(appended, 4);
  // A line longer than the whole ring never fits, however empty it is.
  RingReader reader(ring.get());
  uint64_t lost = 0;
  EXPECT_EQ(drainAll(reader, &lost).size(), 4u);
  EXPECT_EQ(lost, 6u);
  EXPECT_EQ(append(ring.get(), "again"), AppendOutcome::kAppended);
  lost = 0;
  std::vector<DrainedLine> lines = drainAll(reader, &lost);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "again");
  EXPECT_EQ(lost, 0u);
}

TEST(ALogRing, CutsALineLongerThanTheRingInsteadOfLosingIt) {
  SharedRing ring(2);
  EXPECT_EQ(append(ring.get(), std::string(4000, 'y')), AppendOutcome::kAppended);
  RingReader reader(ring.get());
  std::vector<DrainedLine> lines = drainAll(reader, nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text,
            std::string(2 * internal::kSlotPayload - sizeof(internal::RecordHeader), 'y'));
}

TEST(ALogRing, RefusesLinesOnceItsDrainerClosedIt) {
  SharedRing ring(8);
  ring.get()->closed.store(1);
  EXPECT_EQ(append(ring.get(), "late"), AppendOutcome::kClosed);
}

// A writer that reserved slots and vanished (killed, or a thread that a
// fork() left behind) never stamps them: the drainer waits a while, then
// gives them up, counts them lost and goes on.
TEST(ALogRing, GivesUpOnAReservationThatIsNeverWrittenAndCountsItLost) {
  SharedRing ring(16);
  ASSERT_EQ(append(ring.get(), "before"), AppendOutcome::kAppended);
  ring.get()->head.fetch_add(2);  // reserved, never written
  ASSERT_EQ(append(ring.get(), "after"), AppendOutcome::kAppended);
  RingReader reader(ring.get());
  uint64_t lost = 0;
  std::vector<DrainedLine> lines = drainAll(reader, &lost, 0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "before");
  EXPECT_TRUE(drainAll(reader, &lost, internal::kStallNs / 2).empty());
  int64_t now = internal::kStallNs;
  std::vector<DrainedLine> rest;
  for (int pass = 0; pass < 8 && rest.empty(); ++pass, now += internal::kStallNs) {
    rest = drainAll(reader, &lost, now);
  }
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].text, "after");
  EXPECT_EQ(lost, 2u);
}

TEST(ALogRing, SkipsRecordsWhoseHeaderMakesNoSense) {
  SharedRing ring(16);
  ASSERT_EQ(append(ring.get(), "bad"), AppendOutcome::kAppended);
  ASSERT_EQ(append(ring.get(), "good"), AppendOutcome::kAppended);
  // A length that does not match the slots the record says it takes.
  auto* first = reinterpret_cast<internal::RingSlot*>(reinterpret_cast<char*>(ring.get()) +
                                                      sizeof(RingHeader));
  internal::RecordHeader header;
  std::memcpy(&header, first->payload, sizeof header);
  header.length = 100000;
  std::memcpy(first->payload, &header, sizeof header);
  RingReader reader(ring.get());
  uint64_t lost = 0;
  std::vector<DrainedLine> lines = drainAll(reader, &lost);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "good");
  EXPECT_EQ(lost, 1u);
}

// Checks what came out of a ring that `writers` wrote `per_writer` lines
// each to: every line whole, each writer's lines in its order, and every
// line either drained or counted lost.
void expectWholeAndCounted(const std::vector<DrainedLine>& lines, uint64_t lost, int writers,
                           int per_writer) {
  std::map<int, int> last;
  for (const DrainedLine& l : lines) {
    int writer = -1, sequence = -1;
    ASSERT_TRUE(isWhole(l.text, &writer, &sequence)) << l.text.substr(0, 80);
    auto it = last.find(writer);
    if (it != last.end()) {
      EXPECT_GT(sequence, it->second);
    }
    last[writer] = sequence;
  }
  EXPECT_EQ(lines.size() + lost, static_cast<size_t>(writers * per_writer));
}

TEST(ALogRing, KeepsEveryLineWholeWhileManyThreadsAppendAndOneDrains) {
  constexpr int kWriters = 6;
  constexpr int kLines = 3000;
  SharedRing ring(256);  // small, so that it fills and wraps many times
  std::atomic<int> running{kWriters};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kLines; ++i) append(ring.get(), lineOf(w, i));
      running.fetch_sub(1);
    });
  }
  RingReader reader(ring.get());
  std::vector<DrainedLine> lines;
  uint64_t lost = 0;
  for (;;) {
    const bool last_pass = running.load() == 0;
    std::vector<DrainedLine> more = drainAll(reader, &lost);
    lines.insert(lines.end(), more.begin(), more.end());
    if (last_pass && more.empty()) break;
  }
  for (auto& t : writers) t.join();
  expectWholeAndCounted(lines, lost, kWriters, kLines);
  EXPECT_GT(lines.size(), 0u);
}

TEST(ALogRing, KeepsEveryLineWholeWhenProcessesAppend) {
  constexpr int kChildren = 4;
  constexpr int kLines = 500;
  SharedRing ring(128);
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kLines; ++i) append(ring.get(), lineOf(c, i));
      _exit(0);
    }
    children.push_back(pid);
  }
  RingReader reader(ring.get());
  std::vector<DrainedLine> lines;
  uint64_t lost = 0;
  int alive = kChildren;
  while (alive > 0) {
    std::vector<DrainedLine> more = drainAll(reader, &lost);
    lines.insert(lines.end(), more.begin(), more.end());
    for (pid_t& pid : children) {
      int status = 0;
      if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
        pid = 0;
        --alive;
      }
    }
  }
  std::vector<DrainedLine> more = drainAll(reader, &lost);
  lines.insert(lines.end(), more.begin(), more.end());
  expectWholeAndCounted(lines, lost, kChildren, kLines);
}

// A child forked while other threads were in the middle of appending has
// nothing half-taken: it appends at once, and the parent's threads finish
// their own lines in the shared ring. The writers keep the ring at most
// half full, so every child finds room whatever the timing: each child's
// line must be appended and drained.
TEST(ALogRing, LetsAChildForkedWhileThreadsAppendWriteAtOnce) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "fork() from a multithreaded program is not supported by the sanitizer runtime";
#endif
  constexpr uint32_t kSlots = 4096;
  constexpr int kRounds = 50;
  SharedRing ring(kSlots);
  std::atomic<bool> stop{false};
  std::atomic<int> drained_children{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      RingHeader* header = ring.get();
      for (int i = 0; !stop.load();) {
        // A line takes at most a few slots: three writers that each append
        // only below half the ring never leave it without room for a child.
        if (header->head.load() - header->tail.load() >= kSlots / 2) {
          std::this_thread::yield();
          continue;
        }
        EXPECT_EQ(append(header, lineOf(w, i++ % 1000)), AppendOutcome::kAppended);
      }
    });
  }
  RingReader reader(ring.get());
  uint64_t lost = 0;
  int exited = 0;
  for (int round = 0; round < kRounds; ++round) {
    const pid_t child = fork();
    if (child == 0) {
      const bool ok =
          append(ring.get(), "child " + std::to_string(round)) == AppendOutcome::kAppended;
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0) {
      ++exited;
    }
    for (const DrainedLine& l : drainAll(reader, &lost)) {
      if (l.text.rfind("child ", 0) == 0) drained_children.fetch_add(1);
    }
  }
  stop = true;
  for (auto& t : writers) t.join();
  for (const DrainedLine& l : drainAll(reader, &lost)) {
    if (l.text.rfind("child ", 0) == 0) drained_children.fetch_add(1);
  }
  EXPECT_EQ(exited, kRounds);
  EXPECT_EQ(drained_children.load(), kRounds);
  EXPECT_EQ(lost, 0u);
}

// ---- The device's ring: the drainer and the processes' system log ----------------

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ADeviceLogRing : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.path() / "var/log");
    fs::create_directories(dir_.path() / "var/run/sentrel");
    paths::setDeviceRoot(dir_.path());
  }
  void TearDown() override { paths::setDeviceRoot({}); }
  fs::path logFile() const { return dir_.path() / "var/log/system.log"; }

  testing::TempDir dir_;
};

TEST_F(ADeviceLogRing, TakesTheProcessesLinesWhichTheDrainerWritesToTheLogFile) {
  Result<std::unique_ptr<LogRingDrainer>> drainer = LogRingDrainer::create(dir_.path());
  ASSERT_TRUE(drainer.ok()) << drainer.reason();
  line("through the ring");
  debug("Tweak", 9, "debug too");
  EXPECT_EQ(readFile(logFile()), "");  // not before the drainer wrote it
  EXPECT_EQ((*drainer)->drain(), 2u);
  std::istringstream in(readFile(logFile()));
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  std::optional<FileLine> parsed = parseFileLine(first);
  ASSERT_TRUE(parsed) << first;
  EXPECT_EQ(parsed->pid, std::to_string(getpid()));
  EXPECT_EQ(parsed->text, "through the ring");
  EXPECT_THAT(second, ::testing::EndsWith(formatDebugLine("Tweak", 9, "debug too")));
}

TEST_F(ADeviceLogRing, TakesLinesFromASignalHandler) {
  Result<std::unique_ptr<LogRingDrainer>> drainer = LogRingDrainer::create(dir_.path());
  ASSERT_TRUE(drainer.ok()) << drainer.reason();
  line("attach");  // a process finds its ring on its first ordinary line
  struct sigaction action {};
  action.sa_handler = [](int) { lineSignalSafe("from the handler", Level::kWarning); };
  struct sigaction previous {};
  sigaction(SIGUSR2, &action, &previous);
  raise(SIGUSR2);
  sigaction(SIGUSR2, &previous, nullptr);
  (*drainer)->drain();
  EXPECT_THAT(readFile(logFile()), ::testing::HasSubstr("] from the handler\n"));
}

TEST_F(ADeviceLogRing, SaysHowManyLinesWereLostWhenTheRingWasFull) {
  Result<std::unique_ptr<LogRingDrainer>> drainer = LogRingDrainer::create(dir_.path(), 4);
  ASSERT_TRUE(drainer.ok()) << drainer.reason();
  for (int i = 0; i < 10; ++i) line("line " + std::to_string(i));
  EXPECT_EQ((*drainer)->drain(), 5u);
  EXPECT_THAT(readFile(logFile()),
              ::testing::HasSubstr("6 log lines lost: the device's log ring was full"));
}

TEST_F(ADeviceLogRing, SendsLinesStraightToTheFileOnceTheDrainerIsGone) {
  {
    Result<std::unique_ptr<LogRingDrainer>> drainer = LogRingDrainer::create(dir_.path());
    ASSERT_TRUE(drainer.ok()) << drainer.reason();
    line("while draining");
  }  // drains the rest and closes the ring
  line("after the drainer");
  const std::string log = readFile(logFile());
  EXPECT_THAT(log, ::testing::HasSubstr("] while draining\n"));
  EXPECT_THAT(log, ::testing::HasSubstr("] after the drainer\n"));
}

TEST_F(ADeviceLogRing, ReplacesAPreviousRingAndClosesItForItsWriters) {
  Result<std::unique_ptr<LogRingDrainer>> first = LogRingDrainer::create(dir_.path());
  ASSERT_TRUE(first.ok());
  line("to the first");
  Result<std::unique_ptr<LogRingDrainer>> second = LogRingDrainer::create(dir_.path());
  ASSERT_TRUE(second.ok());
  EXPECT_EQ((*first)->drain(), 1u);
  // Until the writer looks for the new ring (at most once per quarter
  // second) its lines go straight to the file: none is lost meanwhile.
  line("to the second");
  (*second)->drain();
  EXPECT_THAT(readFile(logFile()), ::testing::HasSubstr("] to the second\n"));
}

}  // namespace
}  // namespace sentrel::log
