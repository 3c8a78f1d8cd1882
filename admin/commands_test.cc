#include "admin/commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace zel {
namespace {

// Runs zel-site with words, its site file and zel-auth in a directory of the test's own.
struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome zel_site(std::vector<std::string> words, const std::string& site = "/nonexistent/zel-site.conf") {
  words.insert(words.begin(), "zel-site");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = run_zel_site(static_cast<int>(words.size()), argv.data(),
                                  {site.c_str(), "/nonexistent/zel-auth", "/nonexistent/audit.log", "/nonexistent/site.sha256"});
  std::fflush(stdout);
  Outcome run{status, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
  return run;
}

class Commands : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(mkdtemp(dir_), nullptr);
    file_ = std::string(dir_) + "/site.conf";
  }
  void TearDown() override {
    unlink(file_.c_str());
    rmdir(dir_);
  }
  char dir_[32] = "/tmp/zel-commands-test.XXXXXX";
  std::string file_;
};

TEST_F(Commands, StatusAndMessageOfEachCommandLine) {
  std::ofstream(file_) << "site.name = x\ntoken.value = s3cret-value-long-enough\n";
  const std::string warned = std::string(dir_) + "/warned.conf";
  std::ofstream(warned) << "site.name = x\n";  // a warning alone: no token line
  const std::string fifo = std::string(dir_) + "/fifo.conf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::vector<std::string> words;
    int status;
    const char* text;  // in standard output or standard error
  } cases[] = {
      {{"check", "-f", file_}, 0, ": 0 errors, 0 warnings"},
      {{"check", "-f", warned}, 0, ": 0 errors, 1 warning"},
      {{"check", "-f", warned, "--strict"}, 1, ": 0 errors, 1 warning"},
      {{"check", "-f", fifo}, 2, "fifo.conf: Not a regular file"},
      {{"show", "-f", fifo}, 2, "fifo.conf: Not a regular file"},
      {{"check", "--strict=x"}, 2, "zel-site: option --strict takes no value\nUsage:"},
      {{"install", "--force=yes", file_}, 2, "option --force takes no value"},
      {{"check", "-S"}, 2, "unknown option -S"},
      {{"check", "--group"}, 2, "option --group needs an argument"},
      {{"check", "--group", "zel", "-f", file_}, 2, "-f, --deployment and --group exclude each other"},
      {{"check", "--except", "zel"}, 2, "--except goes with --group"},
      {{"check", "--path", "/", "--deployment"}, 2, "--path goes alone"},
      {{"check", "--path", "/opt/../etc"}, 1, "/opt/../etc: error: not a plain absolute path"},
      {{"show", "--deployment"}, 2, "option --deployment is not one of show's"},
      {{"install"}, 2, "install takes one FILE"},
      {{"install", file_, file_}, 2, "install takes one FILE"},
      {{"check", file_}, 2, "check takes no operand"},
      {{"show", file_}, 2, "show takes no operand"},
      {{"edit", file_}, 2, "edit takes no operand"},
      {{"set-token", file_}, 2, "set-token takes no operand"},
      {{"log", file_}, 2, "log takes no operand"},
      {{"check", "--group", "no-such-group-here"}, 1, "group no-such-group-here: error: no such group"},
      {{"check", "--create"}, 2, "--create goes with --deployment"},
      {{"log", "--since", "yesterday"}, 2, "--since takes a time such as 2026-12-09T10:11:12"},
      {{"log", "--since", "2026-13-45"}, 2, "--since takes a time such as 2026-12-09T10:11:12"},
      {{"log", "--token"}, 2, "option --token needs an argument"},
      {{"log", "-f", file_}, 1, "site.conf:2: error: not a record zel-auth or zel-site writes"},
      {{"log"}, 2, "/nonexistent/audit.log: No such file or directory"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& w : c.words) line += w + " ";
    SCOPED_TRACE(line);
    const Outcome run = zel_site(c.words);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_NE((run.out + run.err).find(c.text), std::string::npos) << run.out << run.err;
    EXPECT_EQ((run.out + run.err).find("s3cret-value"), std::string::npos);
  }
  unlink(warned.c_str());
  unlink(fifo.c_str());
}

}  // namespace
}  // namespace zel
