#include "auth/actor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "util/status.h"

namespace zel {
namespace {

TEST(FindActor, FollowsTheRequestLineFormat) {
  const std::string long_value(300, 'a');
  const std::string long_action(256, 'x');
  const struct {
    const char* name;
    std::string body;
    std::optional<std::string> actor;
  } cases[] = {
      {"plain", "<Body><Request action=\"sign\" actor=\"alice\">", "alice"},
      {"with newline", "<Body><Request action=\"sign\" actor=\"alice\"/>\n", "alice"},
      {"no space before action", "<Body><Requestaction=\"s\" actor=\"bob\">", "bob"},
      {"tabs and newlines as white space", "<Body><Request\t\naction=\"s\"\t actor=\"bob\">", "bob"},
      {"no space between attributes", "<Body><Request action=\"s\"actor=\"bob\">", std::nullopt},
      {"space inside action value quotes", "<Body><Request action=\" s\" actor=\"bob\">", "bob"},
      {"action value of two words", "<Body><Request action=\"a b\" actor=\"bob\">", std::nullopt},
      {"attribute in between", "<Body><Request action=\"s\" id=\"1\" actor=\"bob\">", std::nullopt},
      {"actor value with white space", "<Body><Request action=\"s\" actor=\"bob smith\">", "bob"},
      {"leading space in actor value", "<Body><Request action=\"s\" actor=\" bob\">", "bob"},
      {"empty actor", "<Body><Request action=\"s\" actor=\"\">", ""},
      {"actor cut at 255", "<Body><Request action=\"s\" actor=\"" + long_value + "\">",
       std::string(255, 'a')},
      {"action of 255 then more", "<Body><Request action=\"" + long_action + "\" actor=\"bob\">",
       std::nullopt},
      {"action value of 255 with its quote", "<Body><Request action=\"" + long_action.substr(2) +
       "\" actor=\"bob\">", "bob"},
      {"action value of 255 with its quote, no blank",
       "<Body><Request action=\"" + long_action.substr(2) + "\"actor=\"bob\">", std::nullopt},
      {"actor inside an action value that never closed",
       "<Body><Request action=\"go\">" + std::string(251, 'A') +
       "actor=\"alice\"</Request><Request action=\"go\" actor=\"bob\"/></Body>", std::nullopt},
      {"action value with another quote", "<Body><Request action=\"a\"b\" actor=\"bob\">",
       std::nullopt},
      {"action value unquoted before the blank", "<Body><Request action=\"go> actor=\"bob\">",
       std::nullopt},
      {"empty action value", "<Body><Request action=\"\" actor=\"bob\">", "bob"},
      {"missing <Body>", "<Request action=\"s\" actor=\"bob\">", std::nullopt},
      {"leading space", " <Body><Request action=\"s\" actor=\"bob\">", std::nullopt},
      {"no actor attribute", "<Body><Request action=\"s\">", std::nullopt},
      {"actor attribute without value", "<Body><Request action=\"s\" actor=\"", std::nullopt},
      {"only a newline", "\n", std::nullopt},
      {"empty", "", std::nullopt},
      {"NUL ends body", std::string("<Body><Request action=\"s\" act") + '\0' + "or=\"bob\">",
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(find_actor(c.body.c_str()), c.actor) << c.body;
  }
}

TEST(FindActor, TellsAValueCutAt255FromOneThatEnded) {
  const std::string kept(255, 'l');
  const struct {
    std::string value;  // what follows actor="
    bool cut;
  } cases[] = {
      {kept + "l\">", true},      {kept + "\">", false},      {kept.substr(1) + "\"l", false},
      {kept + " more\">", false}, {kept, false},               {kept + "\"", false},
      {"alice\">", false},         {"alice smith\">", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.size());
    bool cut = !c.cut;
    const std::string body = "<Body><Request action=\"s\" actor=\"" + c.value;
    ASSERT_TRUE(find_actor(body.c_str(), &cut).has_value());
    EXPECT_EQ(cut, c.cut);
  }
}

TEST(CheckActor, AllowsSelfAutobuildOrGivenToken) {
  const struct {
    const char* user;
    const char* actor;
    bool token_given;
    int status;
    bool cut = false;
  } cases[] = {
      {"alice", "alice", false, kOk},
      {"alice", "bob", false, kNotAuthorized},
      {"alice", "Alice", false, kNotAuthorized},
      {"alice", "", false, kNotAuthorized},
      {"alice", "bob", true, kOk},
      {"autobuild", "bob", false, kOk},
      {"autobuild", "", false, kOk},
      {"Autobuild", "bob", false, kNotAuthorized},
      {"autobuilder", "bob", false, kNotAuthorized},
      {"autobuil", "bob", false, kNotAuthorized},
      {"alice", "alice", false, kNotAuthorized, true},  // alice's name, then more of a value
      {"autobuild", "alice", false, kOk, true},
      {"alice", "alice", true, kOk, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " as '" + c.actor + "'" + (c.token_given ? " with -k" : ""));
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_actor(c.user, c.actor, c.token_given, c.cut), c.status);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.status == kOk ? "" : std::string(c.user) +
                                              " is not authorized to create a checksum for " +
                                              c.actor + ".\n");
  }
}

TEST(ReadBody, ReadsOnlyTheFirstLineBounded) {
  const std::string long_line = "<Body><Request action=\"s\" actor=\"x\">" + std::string(5000, 'y');
  const struct {
    const char* name;
    std::string input;
    std::string body;
  } cases[] = {
      {"empty input", "", ""},
      {"first line only", "<Body><Request action=\"s\" actor=\"x\">\nsecond\n",
       "<Body><Request action=\"s\" actor=\"x\">\n"},
      {"no final newline", "<Body><Request action=\"s\" actor=\"x\">",
       "<Body><Request action=\"s\" actor=\"x\">"},
      {"cut at 4095 bytes", long_line, long_line.substr(0, 4095)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FILE* in = std::tmpfile();
    std::fwrite(c.input.data(), 1, c.input.size(), in);
    std::rewind(in);
    Body body;
    body.fill('z');
    bool line_read = false;
    EXPECT_EQ(read_body(body, in, line_read), kOk);
    EXPECT_EQ(line_read, !c.input.empty());
    EXPECT_EQ(std::string(body.data()), c.body);
    std::fclose(in);
  }
}

}  // namespace
}  // namespace zel
