#include "cli/driver.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/audit.h"
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

Parsed parse(std::vector<std::string> args, std::vector<std::string>* left = nullptr,
             std::initializer_list<int> own_fds = {}) {
  args.insert(args.begin(), "zel-auth");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const char* site = nullptr;
  std::optional<SecretBytes> token;
  testing::internal::CaptureStderr();
  Parsed p{parse_args(static_cast<int>(args.size()), argv.data(), site, token, own_fds), {}, {}, {}};
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

// A pipe holding text, its writing end closed: what a caller's here-document gives.
struct KeyPipe {
  explicit KeyPipe(const std::string& text) {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    fd = ends[0];
    EXPECT_EQ(write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(ends[1]);
  }
  KeyPipe(const KeyPipe&) = delete;
  KeyPipe& operator=(const KeyPipe&) = delete;
  ~KeyPipe() { close(fd); }
  std::string rest() const {
    std::string left;
    char c;
    while (read(fd, &c, 1) == 1) left += c;
    return left;
  }
  int fd = -1;
};

TEST(ParseArgs, ReadsTheTokenValueFromADescriptorWithMinusK) {
  using A = std::vector<std::string>;
  const std::string k4095(4095, 'v');
  const int kClosed = 987;  // no test holds this many descriptors
  const struct {
    const char* name;
    std::string in_pipe;
    A args;  // "FD" stands for the pipe's descriptor
    int status;
    std::optional<std::string> token;
    std::string err;  // "FD" stands for the descriptor
    std::string left;  // what the pipe still holds afterwards
    bool pipe_is_own = false;
  } cases[] = {
      {"up to the newline, the rest left", "s3cr3t\nbody\n", A{"-K", "FD"}, kOk, "s3cr3t", "",
       "body\n"},
      {"to the end without a newline", "s3cr3t", A{"-KFD"}, kOk, "s3cr3t", "", ""},
      {"trailing spaces and a carriage return kept", "k \r\n", A{"-K", "FD"}, kOk, "k \r", "", ""},
      {"an empty line is an empty key", "\nx", A{"-K", "FD"}, kOk, "", "", "x"},
      {"an empty input is an empty key", "", A{"-K", "FD"}, kOk, "", "", ""},
      {"4095 bytes", k4095 + "\n", A{"-K", "FD"}, kOk, k4095, "", ""},
      {"4096 bytes are refused, not cut", k4095 + "vv\n", A{"-K", "FD"}, kUsage, {},
       "The token value from descriptor FD is longer than 4095 bytes.\n", "v\n"},
      {"-k after -K counts, the descriptor unread", "fd-key\n", A{"-K", "FD", "-k", "t"}, kOk, "t",
       "", "fd-key\n"},
      {"-K after -k counts", "fd-key\n", A{"-k", "t", "-K", "FD"}, kOk, "fd-key", "", ""},
      {"the last -K counts", "fd-key\n", A{"-K", std::to_string(kClosed), "-K", "FD"}, kOk,
       "fd-key", "", ""},
      {"a closed descriptor", "", A{"-K", std::to_string(kClosed)}, kUsage, {},
       "Unable to read the token value from descriptor 987: Bad file descriptor.\n", ""},
      {"the tool's own descriptor is never read", "site-file-line\n", A{"-K", "FD"}, kUsage, {},
       "Unable to read the token value from descriptor FD: Bad file descriptor.\n",
       "site-file-line\n", true},
      {"not a number", "", A{"-K", "3x"}, kUsage, {}, "Invalid descriptor for -K: 3x.\n", ""},
      {"a sign", "", A{"-K", "+3"}, kUsage, {}, "Invalid descriptor for -K: +3.\n", ""},
      {"beyond int", "", A{"-K", "99999999999"}, kUsage, {},
       "Invalid descriptor for -K: 99999999999.\n", ""},
      {"a usage error reads no descriptor", "fd-key\n", A{"-K", "FD", "-x"}, kUsage, {},
       std::string("zel-auth: invalid option -- 'x'\n") + kUsageText, "fd-key\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const KeyPipe key(c.in_pipe);
    const std::string fd = std::to_string(key.fd);
    A args = c.args;
    for (std::string& a : args) {
      if (const std::size_t at = a.find("FD"); at != std::string::npos) a.replace(at, 2, fd);
    }
    std::string err = c.err;
    if (const std::size_t at = err.find("FD"); at != std::string::npos) err.replace(at, 2, fd);
    Parsed got = c.pipe_is_own ? parse(args, nullptr, {-1, key.fd}) : parse(args);
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.token, c.token);
    EXPECT_EQ(got.err, err);
    EXPECT_EQ(key.rest(), c.left);
  }
}

TEST(Run, NoSignatureLeavesWithoutItsLine) {
  char dir[] = "/tmp/zel-run-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string site_path = std::string(dir) + "/site.conf";
  const std::string log_path = std::string(dir) + "/log";
  std::FILE* site_file = std::fopen(site_path.c_str(), "w");
  ASSERT_NE(site_file, nullptr);
  std::fputs("a=1\ntoken.value = t\n", site_file);
  std::fclose(site_file);
  {  // a log socket file that nobody reads any more
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    log_path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(fd);
  }
  const passwd* me = getpwuid(getuid());
  ASSERT_NE(me, nullptr);
  const std::string body = std::string("<Body><Request action=\"a\" actor=\"") + me->pw_name + "\">\n";
  const struct {
    const char* name;
    std::string input;
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {"a signature", body, {}, kAuditUnsent, "Unable to send the audit record: Connection refused.\n"},
      {"a failure", "no actor\n", {}, kAuditUnsent,
       "Unable to locate actor in message body.\nUnable to send the audit record: Connection refused.\n"},
      {"a listing without a request logs nothing and stands", "", {}, kOk, ""},
      {"a usage error logs nothing and stands", body, {"-x"}, kUsage,
       std::string("zel-auth: invalid option -- 'x'\n") + kUsageText},
  };
  open_audit_log(log_path.c_str());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "zel-auth");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::FILE* in = c.input.empty() ? std::fopen("/dev/null", "r")
                                    : fmemopen(const_cast<char*>(c.input.data()), c.input.size(), "r");
    char* out_data = nullptr;
    std::size_t out_size = 0;
    std::FILE* out = open_memstream(&out_data, &out_size);
    const SiteFile site = open_site_file(site_path.c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(run(static_cast<int>(args.size()), argv.data(), site, site_path.c_str(), in, out),
              c.status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    std::fclose(out);
    std::fclose(in);
    const std::string listing(out_data, out_size);
    std::free(out_data);
    if (c.status != kOk) {
      EXPECT_EQ(listing, "");
    }
  }
  unlink(log_path.c_str());
  open_audit_log(log_path.c_str());  // no socket file: no log, as before
  unlink(site_path.c_str());
  rmdir(dir);
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
