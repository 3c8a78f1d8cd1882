#include "cli/audit.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

#include "util/status.h"

namespace zel {
namespace {

TEST(AuditLine, OneShapePerKindAndEveryCallerByteEscaped) {
  const std::string kDigest = "oeOJ2oTPA+or6wKnRCCFABywMGA=";
  const std::string k300(300, 'a');
  const std::string k600(600, 'm');
  const std::string kCut128 = std::string(128, 'a') + "\\...";
  const std::string kFake = "x\nzel-auth[1]: signed for actor=root";
  const std::string kMissing =
      "Site stanza for specified site (x\nzel-auth[1]: signed for actor=root) not found in site "
      "file (/opt/zel/etc/zel-site.conf).\n";
  const struct {
    const char* name;
    AuditFacts facts;
    int status;
    int priority;  // -1: no line
    std::string text;
  } cases[] = {
      {"signed, self, default stanza", {true, "bob", "bob", nullptr, false, true, kDigest, ""}, kOk,
       LOG_INFO, "signed for actor=bob user=bob site=default via=self key=site digest=" + kDigest},
      {"signed by autobuild, named stanza",
       {true, "autobuild", "bob", "staging", false, true, kDigest, ""}, kOk, LOG_INFO,
       "signed for actor=bob user=autobuild site=[staging] via=autobuild key=site digest=" + kDigest},
      {"signed with -k", {true, "alice", "bob", nullptr, true, true, kDigest, ""}, kOk, LOG_INFO,
       "signed for actor=bob user=alice site=default via=own-key key=own digest=" + kDigest},
      {"digest only, a stanza named default", {true, "bob", "bob", "default", false, false, kDigest, ""},
       kOk, LOG_INFO, "signed for actor=bob user=bob site=[default] via=self key=none digest=" + kDigest},
      {"refused", {true, "alice", "bob", nullptr, false, false, "", "not shown\n"}, kNotAuthorized,
       LOG_NOTICE, "refused actor=bob user=alice site=default"},
      {"no actor", {true, "bob", {}, nullptr, false, false, "", "Unable to locate actor in message body.\n"},
       kNoActor, LOG_NOTICE,
       "failed user=bob site=default status=5 message=Unable to locate actor in message body."},
      {"empty site file, no message", {true, "bob", "bob", nullptr, false, false, "", ""},
       kSiteUnreadable, LOG_ERR, "failed user=bob site=default status=6 message="},
      {"empty token", {true, "bob", "bob", "x", false, false, "", "Token value cannot be empty.\n"},
       kEmptyToken, LOG_ERR, "failed user=bob site=[x] status=8 message=Token value cannot be empty."},
      {"hostile site name, newline and fake entry",
       {true, "bob", "bob", kFake.c_str(), false, false, "", kMissing}, kNoStanza, LOG_NOTICE,
       "failed user=bob site=[x\\x0azel-auth[1]:\\x20signed\\x20for\\x20actor=root] status=7 "
       "message=Site stanza for specified site (x\\x0azel-auth[1]: signed for actor=root) not "
       "found in site file (/opt/zel/etc/zel-site.conf)."},
      {"hostile actor: escape sequence, backslash, high bytes",
       {true, "bob", "\x1b[2J\\\x7f\xc3\xa9=", nullptr, false, false, "", ""}, kNotAuthorized,
       LOG_NOTICE, "refused actor=\\x1b[2J\\x5c\\x7f\\xc3\\xa9= user=bob site=default"},
      {"300-byte names are cut", {true, k300, k300, k300.c_str(), false, true, kDigest, ""}, kOk,
       LOG_INFO, "signed for actor=" + kCut128 + " user=" + kCut128 + " site=[" + kCut128 +
                     "] via=self key=site digest=" + kDigest},
      {"a long message is cut", {true, "bob", {}, nullptr, false, false, "", k600},
       kNoStanza, LOG_NOTICE,
       "failed user=bob site=default status=7 message=" + std::string(512, 'm') + "\\..."},
      {"listing only: no request, no line", {false, "bob", {}, nullptr, false, false, "", ""}, kOk,
       -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<AuditLine> line = audit_line(c.facts, c.status);
    EXPECT_EQ(line.has_value(), c.priority != -1);
    if (!line) continue;
    EXPECT_EQ(line->priority, c.priority);
    EXPECT_EQ(line->text, c.text);
  }
}

}  // namespace
}  // namespace zel
