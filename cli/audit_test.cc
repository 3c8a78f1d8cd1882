#include "cli/audit.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "util/status.h"

namespace zel {
namespace {

// The facts of a run, the fields the lines use in their order.
AuditFacts facts(bool request, std::string user, std::optional<std::string> actor,
                 const char* site, bool own_key, bool signature, std::string digest,
                 std::string_view message, std::string token_id = "") {
  return {request, std::move(user), std::move(actor), site, own_key, signature,
          std::move(digest), message, std::move(token_id)};
}

TEST(AuditLine, OneShapePerKindAndEveryCallerByteEscaped) {
  const std::string kDigest = "oeOJ2oTPA+or6wKnRCCFABywMGA=";
  const std::string k300(300, 'a');
  const std::string k600(600, 'm');
  const std::string kCut128 = std::string(128, 'a') + "\\...";
  const std::string kFake = "x\nzel-auth[1]: signed for actor=root";
  const std::string kMissing =
      "Site stanza for specified site (x\nzel-auth[1]: signed for actor=root) not found in site "
      "file (/opt/zel/etc/zel-site.conf).\n";
  const std::string kPosing = "x) and signed for actor=alice user=alice";
  const std::string kPosingMissing =
      "Site stanza for specified site (" + kPosing + ") not found in site file (/f).\n";
  const struct {
    const char* name;
    AuditFacts facts;
    int status;
    int priority;  // -1: no line
    std::string text;
  } cases[] = {
      {"signed, self, default stanza, the token's identifier",
       facts(true, "bob", "bob", nullptr, false, true, kDigest, "", "0a1b2c3d"), kOk, LOG_INFO,
       "signed for actor=bob user=bob site=default via=self key=site token=0a1b2c3d digest=" +
           kDigest},
      {"signed by autobuild, named stanza",
       facts(true, "autobuild", "bob", "staging", false, true, kDigest, "", "ffee0011"), kOk,
       LOG_INFO,
       "signed for actor=bob user=autobuild site=[staging] via=autobuild key=site token=ffee0011 "
       "digest=" + kDigest},
      {"signed with -k or -K: no identifier",
       facts(true, "alice", "bob", nullptr, true, true, kDigest, "", "0a1b2c3d"), kOk, LOG_INFO,
       "signed for actor=bob user=alice site=default via=own-key key=own digest=" + kDigest},
      {"digest only, a stanza named default",
       facts(true, "bob", "bob", "default", false, false, kDigest, ""), kOk, LOG_INFO,
       "signed for actor=bob user=bob site=[default] via=self key=none digest=" + kDigest},
      {"refused", facts(true, "alice", "bob", nullptr, false, false, "", "not shown\n"),
       kNotAuthorized, LOG_NOTICE, "refused actor=bob user=alice site=default"},
      {"no actor, no actor field",
       facts(true, "bob", {}, nullptr, false, false, "", "Unable to locate actor in message body.\n"),
       kNoActor, LOG_NOTICE,
       "failed user=bob site=default status=5 "
       "message=Unable\\x20to\\x20locate\\x20actor\\x20in\\x20message\\x20body."},
      {"empty site file, no message, the actor named",
       facts(true, "bob", "carol", nullptr, false, false, "", ""), kSiteUnreadable, LOG_ERR,
       "failed actor=carol user=bob site=default status=6 message="},
      {"empty token",
       facts(true, "bob", "bob", "x", false, false, "", "Token value cannot be empty.\n"),
       kEmptyToken, LOG_ERR,
       "failed actor=bob user=bob site=[x] status=8 message=Token\\x20value\\x20cannot\\x20be\\x20empty."},
      {"the log refused the line", facts(true, "bob", "bob", nullptr, false, false, "", ""),
       kAuditUnsent, LOG_ERR, "failed actor=bob user=bob site=default status=14 message="},
      {"hostile site name, newline and fake entry",
       facts(true, "bob", "bob", kFake.c_str(), false, false, "", kMissing), kNoStanza, LOG_NOTICE,
       "failed actor=bob user=bob site=[x\\x0azel-auth[1]:\\x20signed\\x20for\\x20actor=root] "
       "status=7 message=Site\\x20stanza\\x20for\\x20specified\\x20site\\x20(x\\x0azel-auth[1]:"
       "\\x20signed\\x20for\\x20actor=root)\\x20not\\x20found\\x20in\\x20site\\x20file\\x20"
       "(/opt/zel/etc/zel-site.conf)."},
      {"a site name posing as a signed line",
       facts(true, "bob", "bob", kPosing.c_str(), false, false, "", kPosingMissing), kNoStanza,
       LOG_NOTICE,
       "failed actor=bob user=bob site=[x)\\x20and\\x20signed\\x20for\\x20actor=alice\\x20"
       "user=alice] status=7 message=Site\\x20stanza\\x20for\\x20specified\\x20site\\x20(x)\\x20and"
       "\\x20signed\\x20for\\x20actor=alice\\x20user=alice)\\x20not\\x20found\\x20in\\x20site"
       "\\x20file\\x20(/f)."},
      {"hostile actor: escape sequence, backslash, high bytes",
       facts(true, "bob", "\x1b[2J\\\x7f\xc3\xa9=", nullptr, false, false, "", ""), kNotAuthorized,
       LOG_NOTICE, "refused actor=\\x1b[2J\\x5c\\x7f\\xc3\\xa9= user=bob site=default"},
      {"300-byte names are cut",
       facts(true, k300, k300, k300.c_str(), false, true, kDigest, "", "0a1b2c3d"), kOk, LOG_INFO,
       "signed for actor=" + kCut128 + " user=" + kCut128 + " site=[" + kCut128 +
           "] via=self key=site token=0a1b2c3d digest=" + kDigest},
      {"a long message is cut", facts(true, "bob", {}, nullptr, false, false, "", k600), kNoStanza,
       LOG_NOTICE, "failed user=bob site=default status=7 message=" + std::string(512, 'm') + "\\..."},
      {"listing only: no request, no line", facts(false, "bob", {}, nullptr, false, false, "", ""),
       kOk, -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<AuditLine> line = audit_line(c.facts, c.status);
    EXPECT_EQ(line.has_value(), c.priority != -1);
    if (!line) continue;
    EXPECT_EQ(line->priority, c.priority);
    EXPECT_EQ(line->text, c.text);
    // No line can be made to hold a second one's words: " signed for " only
    // ever starts a signed line.
    EXPECT_EQ(line->text.find(" signed for "), std::string::npos) << line->text;
  }
}

}  // namespace
}  // namespace zel
