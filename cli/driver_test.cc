#include "cli/driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "util/status.h"

namespace zel {
namespace {

constexpr const char* kUsageText = "Usage:\tzel-auth [-k token_value] [-s site_name]\n";

struct Parsed {
  int status;
  std::optional<std::string> site;
  std::optional<std::string> token;
  std::string err;
};

Parsed parse(std::vector<std::string> args, std::vector<std::string>* left = nullptr) {
  args.insert(args.begin(), "zel-auth");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const char* site = nullptr;
  std::optional<SecretBytes> token;
  testing::internal::CaptureStderr();
  Parsed p{parse_args(static_cast<int>(args.size()), argv.data(), site, token), {}, {}, {}};
  p.err = testing::internal::GetCapturedStderr();
  if (site) p.site = site;
  if (token) p.token = std::string(view_of(*token));
  if (left != nullptr) *left = args;
  return p;
}

TEST(ParseArgs, WipesEveryTokenValueFromTheCommandLine) {
  using A = std::vector<std::string>;
  const A cases[] = {A{"-k", "s3cr3t"}, A{"-ks3cr3t", "-s", "web"}, A{"-k", "s3cr3t", "-k", "2"},
                     A{"-k", "s3cr3t", "-x"}, A{"foo", "-ks3cr3t"}};
  for (const A& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    std::vector<std::string> left;
    parse(args, &left);
    for (const std::string& arg : left) EXPECT_EQ(arg.find("s3cr3t"), std::string::npos) << arg;
  }
}

TEST(ParseArgs, TakesOptionsWhereverTheyStand) {
  using A = std::vector<std::string>;
  const struct {
    const char* name;
    A args;
    int status;
    std::optional<std::string> site;
    std::optional<std::string> token;
    std::string err;
  } cases[] = {
      {"none", A{}, kOk, {}, {}, ""},
      {"site and token", A{"-s", "web", "-k", "t"}, kOk, "web", "t", ""},
      {"attached arguments", A{"-sweb", "-kt"}, kOk, "web", "t", ""},
      {"last of each counts", A{"-s", "a", "-k", "1", "-s", "b", "-k", "2"}, kOk, "b", "2", ""},
      {"empty token is a token", A{"-k", ""}, kOk, {}, "", ""},
      {"double hyphen ends options", A{"-s", "a", "--"}, kOk, "a", {}, ""},
      {"operand", A{"foo"}, kUsage, {}, {}, kUsageText},
      {"operand after double hyphen", A{"--", "-s"}, kUsage, {}, {}, kUsageText},
      {"options after an operand still taken", A{"foo", "-k", "t", "-x"}, kUsage, {}, "t",
       std::string("zel-auth: invalid option -- 'x'\n") + kUsageText},
      {"missing argument", A{"-s"}, kUsage, {}, {}, 
       std::string("zel-auth: option requires an argument -- 's'\n") + kUsageText},
      {"unknown with valid, usage once", A{"-x", "-s", "a", "-y"}, kUsage, "a", {},
       std::string("zel-auth: invalid option -- 'x'\nzel-auth: invalid option -- 'y'\n") + kUsageText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Parsed got = parse(c.args);
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.site, c.site);
    EXPECT_EQ(got.token, c.token);
    EXPECT_EQ(got.err, c.err);
  }
}

TEST(PrintProperties, ListsFilledSlotsAndSkipsEmptyOnes) {
  PropertyList list;
  list.slots = {std::string("a=1"), std::string("b=2"), std::nullopt, std::string("sig")};
  list.count = 2;
  char* data = nullptr;
  std::size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  EXPECT_EQ(print_properties(list, out), kOk);
  std::fclose(out);
  EXPECT_EQ(std::string(data, size), "a=1\nb=2\nsig\n");
  std::free(data);
}

TEST(PrintProperties, ReportsAListingThatCouldNotBeWritten) {
  PropertyList list;
  list.slots = {std::string("a=1"), std::nullopt, std::nullopt};
  list.count = 1;
  FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(print_properties(list, full), kWriteFailed);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unable to write to standard output: No space left on device.\n");
  std::fclose(full);
}

}  // namespace
}  // namespace zel
