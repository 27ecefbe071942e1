#include "platform/plist/plist_codec.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>

#include "platform/plist/file_syscalls.h"
#include "support/temp_dir.h"

namespace sentrel::plist {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// Every kind, nested, with awkward values.
Value everyKind() {
  return Value::dictOf({
      {"true", Value::boolean(true)},
      {"false", Value::boolean(false)},
      {"zero", Value::integer(0)},
      {"negative", Value::integer(-42)},
      {"min", Value::integer(std::numeric_limits<int64_t>::min())},
      {"max", Value::integer(std::numeric_limits<int64_t>::max())},
      {"real", Value::real(-1234.5)},
      {"string", Value::string("caf\xc3\xa9 <&> \"quoted\"")},
      {"empty string", Value::string("")},
      {"data", Value::data({0, 1, 2, 0xff, 0x80})},
      {"empty data", Value::data({})},
      {"date", Value::date(Date{789123456})},
      {"old date", Value::date(Date{-86400 * 365})},
      {"array",
       Value::array({Value::integer(1), Value::string("two"), Value::array({}),
                     Value::dictOf({{"deep", Value::dictOf({{"x", Value::real(0.25)}})}})})},
      {"empty dict", Value::dict(Dict())},
  });
}

void writeBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ThePlistCodec, RoundTripsEveryKindThroughXml) {
  Result<std::string> xml = encodeXml(everyKind());
  ASSERT_TRUE(xml) << xml.reason();
  Result<Value> back = decode(xml.value());
  ASSERT_TRUE(back) << back.reason();
  EXPECT_EQ(back.value(), everyKind()) << back->description();
}

TEST(ThePlistCodec, RoundTripsEveryKindThroughBinary) {
  Result<std::string> bin = encodeBinary(everyKind());
  ASSERT_TRUE(bin) << bin.reason();
  EXPECT_EQ(bin->substr(0, 8), "bplist00");
  Result<Value> back = decode(bin.value());
  ASSERT_TRUE(back) << back.reason();
  EXPECT_EQ(back.value(), everyKind()) << back->description();
}

TEST(ThePlistCodec, KeepsFractionsOfSecondsOfDatesInBinary) {
  for (double s : {0.5, -0.5, -1.5, -100.25, 1.75, 1000000.125}) {
    Value v = Value::array({Value::date(Date{s})});
    Result<Value> back = decode(encodeBinary(v).value());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->asArray()->at(0).asDate(), Date{s}) << s;
  }
}

TEST(ThePlistCodec, EncodesAnyRootKindButNotNull) {
  for (const Value& v : {Value::integer(-1), Value::string("s"), Value::array({})}) {
    EXPECT_EQ(decode(encodeXml(v).value()).value(), v);
    EXPECT_EQ(decode(encodeBinary(v).value()).value(), v);
  }
  EXPECT_FALSE(encodeXml(Value()));
  EXPECT_FALSE(encodeBinary(Value()));
}

TEST(ThePlistCodec, LeavesNullsInsideContainersOut) {
  Dict::Map map;
  map.emplace("kept", Value::integer(1));
  map.emplace("gone", Value());
  Value v = Value::dictOf({{"d", Value::dict(Dict(std::move(map)))},
                           {"a", Value::array({Value(), Value::integer(2)})}});
  Value back = decode(encodeXml(v).value()).value();
  EXPECT_EQ(back, Value::dictOf({{"d", Value::dictOf({{"kept", Value::integer(1)}})},
                                 {"a", Value::array({Value::integer(2)})}}));
}

TEST(ThePlistCodec, RefusesInputThatIsNotAPropertyList) {
  EXPECT_FALSE(decode(std::string_view()));
  EXPECT_FALSE(decode("hello"));
  EXPECT_FALSE(decode("bplist00 but not really"));
  EXPECT_FALSE(decode("<html><body>nope</body></html>"));
  std::string xml = encodeXml(everyKind()).value();
  EXPECT_FALSE(decode(xml.substr(0, xml.size() / 2)));
  std::string bin = encodeBinary(everyKind()).value();
  EXPECT_FALSE(decode(bin.substr(0, bin.size() / 2)));
}

TEST(ThePlistCodec, RefusesInputLibplistWouldAbortOnOrThatWouldNotReadBack) {
  // Inputs the fuzzers found: zero characters in strings (libplist asserts)
  // and text that is not UTF-8 (a round trip would change it).
  size_t seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(SENTREL_PLIST_REGRESSIONS)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(decode(bytes).ok()) << entry.path();
    ++seen;
  }
  EXPECT_GE(seen, 4u);

  EXPECT_FALSE(decode(std::string_view("<plist><string>a&#0;b</string></plist>")).ok());
  EXPECT_FALSE(encodeXml(Value::dictOf({{"k", Value::string(std::string("a\0b", 3))}})).ok());
  EXPECT_FALSE(encodeBinary(Value::dictOf({{"caf\xe9", Value::integer(1)}})).ok());
  EXPECT_TRUE(decode(*encodeXml(Value::dictOf({{"caf\xc3\xa9", Value::integer(1)}}))).ok());
}

TEST(ThePlistCodec, EncodesTheSameDocumentToTheSameBytes) {
  MutableDict a, b;
  for (int i = 0; i < 50; ++i) a.set("k" + std::to_string(i), Value::integer(i));
  for (int i = 49; i >= 0; --i) b.set("k" + std::to_string(i), Value::integer(i));
  EXPECT_EQ(*encodeXml(a.build()), *encodeXml(b.build()));
  EXPECT_EQ(*encodeBinary(a.build()), *encodeBinary(b.build()));
}

TEST(AnXmlDocumentEncoder, WritesEachVersionAsAFreshEncodeWould) {
  auto rules = [](std::initializer_list<std::pair<std::string, int64_t>> hosts) {
    plist::MutableDict domains;
    for (const auto& [host, rule] : hosts) {
      domains.set(host, Value::dictOf({{"allowed", Value::integer(rule)}}));
    }
    return std::move(domains).build();
  };
  auto document = [](Value a_rules, Value b) {
    return Value::dictOf({{"snt_enabled", Value::boolean(true)},
                          {"apps", Value::dictOf({{"com.a", Value::dictOf({{"domains", a_rules}})},
                                                  {"com.b", b}})}});
  };
  const Value b = Value::dictOf({{"name", Value::string("B")}});
  const Value versions[] = {
      document(rules({{"x.com", 1}, {"y.com", 2}}), b),
      document(rules({{"x.com", 2}, {"y.com", 2}}), b),                // one rule changed
      document(rules({{"x.com", 2}, {"a.com", 1}, {"y.com", 2}}), b),  // a host added
      document(rules({{"y.com", 2}}), b),                              // hosts removed
      document(rules({{"y.com", 2}}), Value::string("not an entry")),  // a kind changed
      Value::dictOf({{"snt_enabled", Value::boolean(false)}}),         // apps gone
      Value::array({Value::integer(1)}),                               // another root kind
      document(rules({{"x.com", 1}}), b),
  };
  XmlDocumentEncoder encoder;
  for (const Value& version : versions) {
    Result<std::string> incremental = encoder.encode(version);
    ASSERT_TRUE(incremental.ok()) << incremental.reason();
    EXPECT_EQ(*incremental, *encodeXml(version)) << version.description();
  }
  // A refused version leaves the encoder as it was.
  EXPECT_FALSE(encoder.encode(Value::dictOf({{"bad", Value::string("caf\xe9")}})).ok());
  EXPECT_FALSE(encoder.encode(Value()).ok());
  EXPECT_EQ(*encoder.encode(versions[1]), *encodeXml(versions[1]));
  // Text that cannot be encoded is found in a changed part of a large,
  // mostly unchanged version too.
  const Value bad = document(rules({{"x.com", 2}, {"caf\xe9", 1}}), b);
  EXPECT_FALSE(encoder.encode(bad).ok());
  EXPECT_EQ(*encoder.encode(versions[2]), *encodeXml(versions[2]));
}

TEST(ThePlistCodec, RefusesNestingBeyondTheLimit) {
  std::string deep = "<plist version=\"1.0\">";
  for (int i = 0; i < kMaxDepth + 10; ++i) deep += "<array>";
  for (int i = 0; i < kMaxDepth + 10; ++i) deep += "</array>";
  deep += "</plist>";
  EXPECT_FALSE(decode(deep));
}

TEST(ThePlistCodec, DecodesADictionaryOnlyWhenTheRootIsOne) {
  std::string array = encodeXml(Value::array({})).value();
  auto bytes =
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(array.data()), array.size());
  Result<Value> r = decodeDictionary(bytes);
  ASSERT_FALSE(r);
  EXPECT_THAT(r.reason(), HasSubstr("not a dictionary"));
}

class APlistFile : public ::testing::Test {
 protected:
  fs::path file(const char* name = "doc.plist") const { return dir_.path() / name; }
  testing::TempDir dir_;
};

TEST_F(APlistFile, ReadsBackWhatWasWrittenAsXml) {
  ASSERT_TRUE(writeFileAtomically(file(), everyKind()));
  EXPECT_THAT(readBytes(file()), HasSubstr("<?xml"));
  EXPECT_EQ(fs::status(file()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
  Result<Value> back = readDictionaryFile(file());
  ASSERT_TRUE(back) << back.reason();
  EXPECT_EQ(back.value(), everyKind());
}

TEST_F(APlistFile, ReadsABinaryFile) {
  writeBytes(file(), encodeBinary(everyKind()).value());
  EXPECT_EQ(readDictionaryFile(file()).value(), everyKind());
}

TEST_F(APlistFile, FailsCleanlyForEveryKindOfBadFile) {
  std::string xml = encodeXml(everyKind()).value();
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty", ""},
      {"truncated", xml.substr(0, xml.size() - 20)},
      {"garbage", std::string("\x00\x01\x02garbage\xff", 11)},
      {"array root", encodeXml(Value::array({Value::integer(1)})).value()},
      {"string root", encodeBinary(Value::string("x")).value()},
  };
  for (const Case& c : cases) {
    writeBytes(file(), c.bytes);
    Result<Value> r = readDictionaryFile(file());
    EXPECT_FALSE(r) << c.name;
    EXPECT_THAT(r.reason(), HasSubstr(file().string())) << c.name;
  }
  EXPECT_FALSE(readDictionaryFile(file("missing.plist")));
  EXPECT_FALSE(readDictionaryFile(dir_.path()));  // a folder
}

TEST_F(APlistFile, FailsCleanlyWhenUnreadable) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  ASSERT_TRUE(writeFileAtomically(file(), everyKind()));
  fs::permissions(file(), fs::perms::none);
  Result<Value> r = readDictionaryFile(file());
  fs::permissions(file(), fs::perms::owner_all);
  ASSERT_FALSE(r);
  EXPECT_THAT(r.reason(), HasSubstr("Permission denied"));
}

TEST_F(APlistFile, KeepsTheOldDocumentWhenAWriteFails) {
  Value old_doc = Value::dictOf({{"old", Value::boolean(true)}});
  ASSERT_TRUE(writeFileAtomically(file(), old_doc));

  EXPECT_FALSE(writeFileAtomically(file(), Value()));  // nothing to encode
  EXPECT_FALSE(writeFileAtomically(dir_.path() / "no-such-folder" / "doc.plist", old_doc));

  // Run out of file size in a child: the write itself fails midway.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    Value big = Value::dictOf({{"big", Value::string(std::string(100000, 'b'))}});
    _exit(writeFileAtomically(file(), big) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the too-large write reported success";

  EXPECT_EQ(readDictionaryFile(file()).value(), old_doc);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_.path())) ++entries;
  EXPECT_EQ(entries, 1) << "a temporary file was left behind";
}

// Each step of the write path failing in turn: a full disk midway through
// the write, a failing fsync (the data may never reach the disk), a refused
// rename. Every one is reported, names the file, and leaves the old document
// whole with no temporary file beside it.
TEST_F(APlistFile, ReportsEachFailingStepOfTheWriteAndKeepsTheOldDocument) {
  const Value old_doc = Value::dictOf({{"old", Value::boolean(true)}});
  const Value new_doc = Value::dictOf({{"new", Value::boolean(true)}});
  ASSERT_TRUE(writeFileAtomically(file(), old_doc));

  struct Case {
    const char* step;
    void (*patch)(FileSyscalls&);
    const char* reason;
  };
  const Case cases[] = {
      {"write",
       [](FileSyscalls& t) {
         t.write = [](int, const void*, size_t) -> ssize_t {
           errno = ENOSPC;
           return -1;
         };
       },
       "cannot write"},
      {"fsync",
       [](FileSyscalls& t) {
         t.fsync = [](int) {
           errno = EIO;
           return -1;
         };
       },
       "cannot sync"},
      {"rename",
       [](FileSyscalls& t) {
         t.rename = [](const char*, const char*) {
           errno = EXDEV;
           return -1;
         };
       },
       "cannot replace"},
  };
  for (const Case& c : cases) {
    Status written = Status::Ok();
    {
      ScopedFileSyscalls restore;
      c.patch(fileSyscalls());
      written = writeFileAtomically(file(), new_doc);
    }
    ASSERT_FALSE(written) << c.step;
    EXPECT_THAT(written.reason(), HasSubstr(c.reason)) << c.step;
    EXPECT_THAT(written.reason(), HasSubstr(file().string())) << c.step;
    EXPECT_EQ(readDictionaryFile(file()).value(), old_doc) << c.step;
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_.path())) ++entries;
    EXPECT_EQ(entries, 1) << c.step << ": a temporary file was left behind";
  }
  // The table is restored: the next write goes through.
  ASSERT_TRUE(writeFileAtomically(file(), new_doc));
  EXPECT_EQ(readDictionaryFile(file()).value(), new_doc);
}

// A writer that rewrites the file in a loop is killed at a random point while
// the test reads: every read sees one whole document, old or new.
TEST_F(APlistFile, NeverShowsAHalfWrittenDocumentEvenWhenTheWriterIsKilled) {
  auto doc = [](char fill) {
    return Value::dictOf({{"fill", Value::string(std::string(300000, fill))}});
  };
  const Value a = doc('a'), b = doc('b');
  ASSERT_TRUE(writeFileAtomically(file(), a));

  std::mt19937 rng(std::random_device{}());
  for (int round = 0; round < 3; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (bool flip = true;; flip = !flip) (void)writeFileAtomically(file(), flip ? b : a);
    }
    // Read until both documents were seen, then some more, then kill.
    int extra_reads = std::uniform_int_distribution<int>(0, 30)(rng);
    bool seen_a = false, seen_b = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!(seen_a && seen_b) || extra_reads-- > 0) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the writer made no progress";
      Result<Value> r = readDictionaryFile(file());
      ASSERT_TRUE(r) << r.reason();
      if (r.value() == a) {
        seen_a = true;
      } else if (r.value() == b) {
        seen_b = true;
      } else {
        FAIL() << "read a document that was never written";
      }
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    Result<Value> last = readDictionaryFile(file());
    ASSERT_TRUE(last) << last.reason();
    EXPECT_TRUE(last.value() == a || last.value() == b);
  }
}

}  // namespace
}  // namespace sentrel::plist
