#include "cli/driver.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli/audit.h"
#include "cli/privilege.h"
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
    errno = EINTR;  // left by an earlier call: no read may be taken for an interrupted one
    Parsed got = c.pipe_is_own ? parse(args, nullptr, {-1, key.fd}) : parse(args);
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.token, c.token);
    EXPECT_EQ(got.err, err);
    EXPECT_EQ(key.rest(), c.left);
  }
}

// A socket file at path that nobody reads any more: a log daemon that has gone.
void make_stale_socket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  close(fd);
}

std::string file_text(const std::string& path) {
  std::string text;
  if (std::FILE* f = std::fopen(path.c_str(), "r")) {
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    std::fclose(f);
  }
  return text;
}

TEST(Run, NoSignatureLeavesWithoutItsRecord) {
  char dir[] = "/tmp/zel-run-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string site_path = std::string(dir) + "/site.conf";
  const std::string audit_path = std::string(dir) + "/audit.log";
  const std::string stale_log = std::string(dir) + "/log";
  const std::string no_log = std::string(dir) + "/no-log";
  std::FILE* site_file = std::fopen(site_path.c_str(), "w");
  ASSERT_NE(site_file, nullptr);
  std::fputs("a=1\ntoken.value = t\n", site_file);
  std::fclose(site_file);
  make_stale_socket(stale_log);
  Ids ids;
  ASSERT_EQ(system_kernel().ids(ids), 0);
  const passwd* me = getpwuid(getuid());
  ASSERT_NE(me, nullptr);
  const std::string user = me->pw_name;
  const std::string body = "<Body><Request action=\"a\" actor=\"" + user + "\">\n";
  const std::string signed_record = "signed for actor=" + user + " user=" + user +
                                    " site=default via=self key=site token=";
  enum Trail { kNone, kNoFile, kStaleLog, kFileOnly };
  const struct {
    const char* name;
    Trail trail;
    std::string input;
    std::vector<std::string> args;
    const char* out;  // null: the listing, or "" for none
    int status;
    std::string err;
    std::vector<std::string> records;  // the start of each record's text
  } cases[] = {
      {"a signature, the file only", kFileOnly, body, {}, nullptr, kOk, "", {signed_record}},
      {"a signature, the log gone", kStaleLog, body, {}, "", kAuditUnsent,
       "Unable to send the audit record: Connection refused.\n",
       {signed_record, "failed actor=" + user + " user=" + user + " site=default status=14 "
                       "message=Unable\\x20to\\x20send\\x20the\\x20audit\\x20record:\\x20"
                       "Connection\\x20refused."}},
      {"a failure, the log gone", kStaleLog, "no actor\n", {}, "", kAuditUnsent,
       "Unable to locate actor in message body.\nUnable to send the audit record: Connection refused.\n",
       {"failed user=" + user + " site=default status=5 message=Unable\\x20to"}},
      {"a signature, no audit file", kNoFile, body, {}, "", kAuditUnsent,
       "Unable to send the audit record: No such file or directory.\n", {}},
      {"a refusal, no audit file", kNoFile, "<Body><Request action=\"a\" actor=\"x\">\n", {}, "",
       kAuditUnsent,
       user + " is not authorized to create a checksum for x.\n"
              "Unable to send the audit record: No such file or directory.\n", {}},
      {"a listing that can't be written follows its signature", kFileOnly, body, {}, "/dev/full",
       kWriteFailed, "Unable to write to standard output: No space left on device.\n",
       {signed_record, "failed actor=" + user + " user=" + user + " site=default status=9 "}},
      {"a listing without a request needs no file", kNoFile, "", {}, nullptr, kOk, "", {}},
      {"a usage error needs no file", kNoFile, body, {"-x"}, "", kUsage,
       std::string("zel-auth: invalid option -- 'x'\n") + kUsageText, {}},
      {"no trail at all", kNone, "no actor\n", {}, "", kNoActor,
       "Unable to locate actor in message body.\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(audit_path.c_str());
    close(open(audit_path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0620));
    std::optional<AuditTrail> trail;
    if (c.trail != kNone) {
      UniqueFd file(c.trail == kNoFile ? -1 : open(audit_path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
      trail.emplace(std::move(file), c.trail == kNoFile ? ENOENT : 0, getuid(),
                    (c.trail == kStaleLog ? stale_log : no_log).c_str());
    }
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "zel-auth");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::FILE* in = c.input.empty() ? std::fopen("/dev/null", "r")
                                    : fmemopen(const_cast<char*>(c.input.data()), c.input.size(), "r");
    char* out_data = nullptr;
    std::size_t out_size = 0;
    std::FILE* out = c.out != nullptr && *c.out != '\0' ? std::fopen(c.out, "w")
                                                       : open_memstream(&out_data, &out_size);
    const SiteFile site = open_site_file(site_path.c_str());
    int status = kOk;
    testing::internal::CaptureStderr();
    try {
      run(system_kernel(), ids, static_cast<int>(args.size()), argv.data(), site, site_path.c_str(),
          trail ? &*trail : nullptr, in, out);
    } catch (const RunEnded& ended) {
      status = ended.status;
    }
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    std::fclose(out);
    std::fclose(in);
    const std::string listing = out_data != nullptr ? std::string(out_data, out_size) : "";
    std::free(out_data);
    EXPECT_EQ(listing.substr(0, 4), c.out == nullptr ? "a=1\n" : "");
    if (c.out == nullptr && !c.input.empty()) {  // the digest line, then the signature line
      EXPECT_EQ(listing.find("digest.value = "), 4u);
      EXPECT_EQ(listing.find("signature.value = "), 4u + 15 + 28 + 1);
    }
    std::vector<std::string> records;
    const std::string text = file_text(audit_path);
    // Each record as written: an empty line, then the record's.
    for (std::size_t at = 0; at < text.size();) {
      EXPECT_EQ(text[at], '\n');
      const std::size_t end = text.find('\n', at + 1);
      const std::string line = text.substr(at + 1, end - at - 1);
      records.push_back(line.substr(line.find(" uid=") + 1));
      at = end + 1;
    }
    ASSERT_EQ(records.size(), c.records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].rfind("uid=" + std::to_string(getuid()) + " " + c.records[i], 0), 0u)
          << records[i];
    }
  }
  unlink(audit_path.c_str());
  unlink(stale_log.c_str());
  unlink(site_path.c_str());
  rmdir(dir);
}

TEST(PrintListing, ListsEachLine) {
  char* data = nullptr;
  std::size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  EXPECT_EQ(print_listing({"a=1", "b=2", "digest.value = D="}, out), kOk);
  std::fclose(out);
  EXPECT_EQ(std::string(data, size), "a=1\nb=2\ndigest.value = D=\n");
  std::free(data);
}

TEST(PrintListing, ReportsAListingThatCouldNotBeWritten) {
  FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(print_listing({"a=1"}, full), kWriteFailed);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unable to write to standard output: No space left on device.\n");
  std::fclose(full);
}

}  // namespace
}  // namespace zel
