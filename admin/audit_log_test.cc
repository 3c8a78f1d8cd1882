#include "admin/audit_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace zel {
namespace {

constexpr const char* kTime = "2026-12-09T10:11:12.123456Z ";

// What read_audit_log writes of text, and whether it found every line a record.
std::string read_log(const std::string& text, const LogFilter& filter, bool& whole) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  whole = read_audit_log(text, "audit.log", filter, out);
  std::fclose(out);
  std::string written(buffer, size);
  std::free(buffer);
  return written;
}

constexpr const char* kBad = ": error: not a record zel-auth or zel-site writes: tampered with, or written in part\n";

TEST(AuditLog, EachRecordAsWrittenAndNothingElse) {
  const struct {
    std::string line;
    bool parses;
    LogFilter filter;  // a stanza its fields name, read back; selects the line that parses
  } cases[] = {
      {std::string(kTime) + "zel-auth[42]: uid=1000 signed for actor=bob user=alice site=[staging] via=self "
                            "key=site token=1691e79e digest=2jmj7l5rSw0yVb/vlWAYkK/YBwk=",
       true, {.stanza = "[staging]", .token = "1691e79e"}},
      {std::string(kTime) + "zel-auth[7]: uid=0 failed user=a site=[x\\x0ay\\x5c] status=7 message=No\\x20site.",
       true, {.stanza = "[x\ny\\]"}},
      {std::string(kTime) + "zel-site[9]: uid=0 install by=root forced added=[stag\\...] token=none actor=b\\...",
       true, {.stanza = "[staging]"}},
      {std::string(kTime) + "zel-site[9]: uid=0 outside-change recorded=none live=none", true, {}},
      {"2026-13-09T10:11:12.123456Z zel-auth[42]: uid=0 refused actor=a", false, {}},
      {"2026-12-09T10:11:12.12345Z zel-auth[42]: uid=0 refused actor=a", false, {}},
      {std::string(kTime) + "zel-auth[+42]: uid=0 refused actor=a", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0  refused actor=a", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=a ", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 signed actor=a", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 install by=root stanzas=same", false, {}},
      {std::string(kTime) + "zel-evil[42]: uid=0 refused actor=a", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused forced actor=a", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=\\x41", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=\\x0A", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=\\x0", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=\\y0a", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=a\\...b", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=a\tb", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused =a", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=a" + std::string(1, '\0'), false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    bool whole = false;
    EXPECT_EQ(read_log(c.line + "\n", c.filter, whole), c.parses ? c.line + "\n" : "audit.log:1" + std::string(kBad));
    EXPECT_EQ(whole, c.parses);
  }
}

// Six records, in the order of the file.
const std::vector<std::string> kLog = {
    "2026-12-09T10:00:00.000001Z zel-site[10]: uid=0 set-token by=alice stanza=[staging] token=new id=1691e79e "
    "before=aa after=bb",
    "2026-12-09T10:05:00.000000Z zel-auth[11]: uid=1000 signed for actor=bob user=alice site=[staging] via=self "
    "key=site token=1691e79e digest=AAAA",
    "2026-12-09T11:00:00.000000Z zel-auth[12]: uid=1000 signed for actor=bob user=alice site=default via=self "
    "key=site token=29be197f digest=BBBB",
    "2026-12-10T09:00:00.000000Z zel-site[13]: uid=0 outside-change recorded=bb live=cc",
    "2026-12-10T09:30:00.000000Z zel-site[14]: uid=0 install by=carol forced changed=[staging] token=changed "
    "id=a426b533 was=1691e79e added=[x\\x20y] token=none before=cc after=dd",
    "2026-12-10T10:00:00.000000Z zel-auth[15]: uid=1001 refused actor=eve user=mallory site=[x\\x20y]",
};

TEST(AuditLog, EachFilterSelectsItsRecordsAndAnOutsideChangeAlways) {
  std::string text;
  for (const std::string& line : kLog) text += line + "\n";
  const struct {
    const char* name;
    LogFilter filter;
    std::vector<int> records;
  } cases[] = {
      {"none", {}, {0, 1, 2, 3, 4, 5}},
      {"the token", {.token = "1691e79e"}, {0, 1, 3, 4}},
      {"a named stanza", {.stanza = "[staging]"}, {0, 1, 3, 4}},
      {"the default stanza", {.stanza = "default"}, {2, 3}},
      {"an escaped name", {.stanza = "[x y]"}, {3, 4, 5}},
      {"since a day", {.since = "2026-12-10"}, {3, 4, 5}},
      {"since a minute", {.since = "2026-12-09T10:05"}, {1, 2, 3, 4, 5}},
      {"all three", {.stanza = "default", .token = "29be197f", .since = "2026-12-09T11"}, {2, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string want;
    for (const int i : c.records) want += kLog[static_cast<std::size_t>(i)] + "\n";
    bool whole = false;
    EXPECT_EQ(read_log(text, c.filter, whole), want);
    EXPECT_TRUE(whole);
  }
}

TEST(AuditLog, ALineChangedAndARecordWrittenInPartAreNamedByNumber) {
  std::string text;
  for (const std::string& line : kLog) text += line + "\n";
  text.replace(text.find("uid=1000"), 8, "uid=01000");
  text += kLog[0];  // whole but for its newline
  bool whole = true;
  EXPECT_EQ(read_log(text, {.stanza = "default"}, whole),
            "audit.log:2" + std::string(kBad) + kLog[2] + "\n" + kLog[3] + "\n" + "audit.log:7" + kBad);
  EXPECT_FALSE(whole);
}

TEST(AuditLog, AsWrittenEachRecordAfterAnEmptyLineAndACutOneOnALineOfItsOwn) {
  std::string text;
  for (const std::string& line : kLog) text += "\n" + line + "\n";
  text.insert(text.find(kLog[2]) - 1, "\n" + kLog[1].substr(0, 40));  // a record the kernel cut short
  bool whole = true;
  EXPECT_EQ(read_log(text, {.stanza = "default"}, whole),
            "audit.log:6" + std::string(kBad) + kLog[2] + "\n" + kLog[3] + "\n");
  EXPECT_FALSE(whole);
}

TEST(AuditLog, SinceTakesARecordsTimeOrItsStart) {
  for (const char* good : {"2026-12-09", "2026-12-09T10:11", "2026-12-09T10:11:12.123456Z"}) {
    EXPECT_TRUE(valid_since(good)) << good;
  }
  for (const char* bad : {"2026-12", "2026-12-09 10:11", "yesterday", "2026-12-09T10:11:12.123456Z0"}) {
    EXPECT_FALSE(valid_since(bad)) << bad;
  }
}

}  // namespace
}  // namespace zel
