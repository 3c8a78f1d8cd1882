#include "admin/audit_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "admin/trail.h"
#include "cli/audit.h"
#include "sign/token_id.h"
#include "util/status.h"

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

// A digest, token identifiers and SHA-256 hashes of the lengths their writers give them.
const std::string kDigest = "2jmj7l5rSw0yVb/vlWAYkK/YBwk=";
const std::string kHashA = std::string(64, 'a');
const std::string kHashB = std::string(32, 'b') + std::string(32, '0');
const std::string kRest = " user=u site=default";  // what a refused record needs after its actor

TEST(AuditLog, EachRecordAsWrittenAndNothingElse) {
  const struct {
    std::string line;
    bool parses;
    LogFilter filter;  // a stanza its fields name, read back; selects the line that parses
  } cases[] = {
      {std::string(kTime) + "zel-auth[42]: uid=1000 signed for actor=bob user=alice site=[staging] via=self "
                            "key=site token=1691e79e digest=" + kDigest,
       true, {.stanza = "[staging]", .token = "1691e79e"}},
      {std::string(kTime) + "zel-auth[7]: uid=0 failed user=a site=[x\\x0ay\\x5c] status=7 message=No\\x20site.",
       true, {.stanza = "[x\ny\\]"}},
      {std::string(kTime) + "zel-site[9]: uid=0 install by=b\\... forced added=[stag\\...] token=none before=none "
                            "after=" + kHashA,
       true, {.stanza = "[staging]"}},
      {std::string(kTime) + "zel-site[9]: uid=0 outside-change recorded=none live=none", true, {}},
      {"2026-13-09T10:11:12.123456Z zel-auth[42]: uid=0 refused actor=a" + kRest, false, {}},
      {"2026-12-09T10:11:12.12345Z zel-auth[42]: uid=0 refused actor=a" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[+42]: uid=0 refused actor=a" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0  refused actor=a" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=a" + kRest + " ", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 signed actor=a user=u site=default via=self key=none digest=" +
           kDigest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 install by=root stanzas=same before=none after=" + kHashA, false, {}},
      {std::string(kTime) + "zel-evil[42]: uid=0 refused actor=a" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused forced actor=a" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=\\x41" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=\\x0A" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=\\x0" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=\\y0a" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=a\\...b" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=a\tb" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=a user= site=default", false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused =a" + kRest, false, {}},
      {std::string(kTime) + "zel-auth[42]: uid=0 refused actor=a" + kRest + std::string(1, '\0'), false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    bool whole = false;
    EXPECT_EQ(read_log(c.line + "\n", c.filter, whole), c.parses ? c.line + "\n" : "audit.log:1" + std::string(kBad));
    EXPECT_EQ(whole, c.parses);
  }
}

// Each kind of record has its fields in their order, each value of its kind; a record cut short
// (its writer's file size limit reached while it was written) is no record, wherever it was cut.
TEST(AuditLog, ARecordHasItsKindsFieldsInOrderAndAPartOfOneIsNone) {
  const std::string signer = "zel-auth[42]: uid=1001 ";
  const std::string site = "zel-site[9]: uid=0 ";
  const struct {
    const char* name;
    std::string text;  // after the time
  } cases[] = {
      {"cut after the actor", signer + "signed for actor=a"},
      {"cut after the user", signer + "signed for actor=alice user=alice"},
      {"cut in via", signer + "signed for actor=alice user=alice site=default via=sel"},
      {"cut in key", signer + "signed for actor=alice user=alice site=default via=self key=sit"},
      {"cut in the token", signer + "signed for actor=alice user=alice site=default via=self key=site token=d3"},
      {"cut in the digest", signer + "signed for actor=alice user=alice site=default via=self key=site "
                                     "token=1691e79e digest=cjUNpA"},
      {"a digest without its end", signer + "signed for actor=a user=a site=default via=self key=own digest=" +
                                       kDigest.substr(0, 27) + "A"},
      {"a token beside its own key", signer + "signed for actor=a user=a site=default via=own-key key=own "
                                              "token=1691e79e digest=" + kDigest},
      {"a token too long", signer + "signed for actor=a user=a site=default via=self key=site token=1691e79e0 "
                                    "digest=" + kDigest},
      {"cut in the stanza", signer + "refused actor=a user=a site=[stag"},
      {"cut in default", signer + "refused actor=a user=a site=defa"},
      {"fields out of order", signer + "refused user=a actor=a site=default"},
      {"cut in the status", signer + "failed user=a site=default status="},
      {"a status zel-auth has not", signer + "failed user=a site=default status=3 message=x"},
      {"a status with a zero", signer + "failed user=a site=default status=06 message=x"},
      {"cut after the status", signer + "failed user=a site=default status=6"},
      {"set-token cut in the hash", site + "set-token by=root stanza=default token=new id=1691e79e before=none "
                                           "after=" + kHashA.substr(0, 20)},
      {"set-token without its id", site + "set-token by=root stanza=default token=new before=none after=" + kHashA},
      {"set-token of a token gone", site + "set-token by=root stanza=default token=gone was=1691e79e before=" +
                                           kHashA + " after=" + kHashB},
      {"install cut in a change", site + "install by=root changed=[x] token=chan"},
      {"install cut after its changes", site + "install by=root changed=[x] token=same id=1691e79e"},
      {"install without a change", site + "install by=root before=none after=" + kHashA},
      {"edit by no one", site + "edit by= stanzas=same before=none after=" + kHashA},
      {"outside change cut", site + "outside-change recorded=none live=ab"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool whole = true;
    EXPECT_EQ(read_log(kTime + c.text + "\n", {}, whole), "audit.log:1" + std::string(kBad));
    EXPECT_FALSE(whole);
  }
}

// The records as their writers make them, an empty actor and an empty message among them, each
// read back whole.
TEST(AuditLog, EveryRecordItsWritersMakeIsOne) {
  const std::string id = token_identifier("a-long-enough-token-value");
  AuditFacts facts{.request = true, .user = "alice", .actor = "", .digest = kDigest, .message = "", .token_id = ""};
  std::vector<std::string> texts;
  for (const bool own_key : {true, false}) {
    for (const bool signature : {true, false}) {
      facts.own_key = own_key;
      facts.signature = signature;
      facts.token_id = own_key || !signature ? "" : id;
      texts.push_back(audit_line(facts, kOk)->text);
    }
  }
  texts.push_back(audit_line(facts, kNotAuthorized)->text);
  facts.site_name = "";
  texts.push_back(audit_line(facts, kSiteUnreadable)->text);
  facts.actor.reset();
  const std::string long_name(200, 'n');  // longer than a record keeps
  facts.site_name = long_name.c_str();
  facts.message = "Unable to read the site file.\n";
  texts.push_back(audit_line(facts, kNoStanza)->text);
  const std::string before = "[s]\ntoken.value = a-long-enough-token-value\n";
  const std::string after = "[s]\ntoken.value = another-long-token-value\n[t]\n";
  texts.push_back(set_token_line("alice", "s", before, after));
  texts.push_back(change_line({"edit", "unset", true}, before, after));
  texts.push_back(change_line({"install", "root"}, std::nullopt, after));
  texts.push_back(change_line({"install", "root"}, after, "[t]\n"));
  texts.push_back(change_line({"edit", "root"}, after, after));
  std::vector<std::string> lines;
  for (const std::string& text : texts) {
    const bool change = text.starts_with("set-token") || text.starts_with("edit") || text.starts_with("install");
    lines.push_back(kTime + std::string(change ? "zel-site" : "zel-auth") + "[9]: uid=0 " + text +
                    (change ? " before=none after=" + kHashA : ""));
  }
  // The record of zel-site's own record as it found it: an empty file, or one with another text.
  lines.push_back(kTime + std::string("zel-site[9]: uid=0 outside-change recorded= live=") + kHashA);
  lines.push_back(kTime + std::string("zel-site[9]: uid=0 outside-change recorded=x\\x20y live=none"));
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    bool whole = false;
    EXPECT_EQ(read_log(line + "\n", {}, whole), line + "\n");
    EXPECT_TRUE(whole);
  }
}

// Six records, in the order of the file.
const std::vector<std::string> kLog = {
    "2026-12-09T10:00:00.000001Z zel-site[10]: uid=0 set-token by=alice stanza=[staging] token=new id=1691e79e "
    "before=" + kHashA + " after=" + kHashB,
    "2026-12-09T10:05:00.000000Z zel-auth[11]: uid=1000 signed for actor=bob user=alice site=[staging] via=self "
    "key=site token=1691e79e digest=" + kDigest,
    "2026-12-09T11:00:00.000000Z zel-auth[12]: uid=1000 signed for actor=bob user=alice site=default via=self "
    "key=site token=29be197f digest=" + kDigest,
    "2026-12-10T09:00:00.000000Z zel-site[13]: uid=0 outside-change recorded=" + kHashB + " live=" + kHashA,
    "2026-12-10T09:30:00.000000Z zel-site[14]: uid=0 install by=carol forced changed=[staging] token=changed "
    "id=a426b533 was=1691e79e added=[x\\x20y] token=none before=" + kHashA + " after=" + kHashB,
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
  for (const char* good : {"2026-12-09", "2026-12-09T10:11", "2026-12-09T10:11:12.123456Z", "2024-02-29",
                           "2026-12-31T2", "2026-12-31T23:5"}) {
    EXPECT_TRUE(valid_since(good)) << good;
  }
  for (const char* bad : {"2026-12", "2026-12-09 10:11", "yesterday", "2026-12-09T10:11:12.123456Z0", "2026-13-45",
                          "2026-00-10", "2026-02-29", "2026-04-31", "2026-12-09T24", "2026-12-31T3",
                          "2026-12-31T23:6", "2026-12-31T23:59:60"}) {
    EXPECT_FALSE(valid_since(bad)) << bad;
  }
}

}  // namespace
}  // namespace zel
