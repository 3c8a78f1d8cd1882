#include "cli/driver.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "auth/actor.h"
#include "cli/audit.h"
#include "sign/signature.h"
#include "site/properties.h"
#include "sign/token_id.h"
#include "util/message.h"
#include "util/status.h"

namespace zel {

namespace {

// The descriptor number of a -K argument: decimal digits only, within int; -1 if not.
int descriptor_number(const char* text) {
  const char* end = text + std::strlen(text);
  int number = -1;
  const auto [stop, error] = std::from_chars(text, end, number);  // takes a minus sign, not a plus
  return *text >= '0' && *text <= '9' && error == std::errc() && stop == end ? number : -1;
}

// Reads a token value from fd: up to its first newline or end, at most
// kKeyFdLimit bytes, one byte at a time so nothing after the newline is taken.
// 0, or 1 with its message.
int read_key_fd(int fd, std::optional<SecretBytes>& token) {
  SecretBytes value;
  value.reserve(kKeyFdLimit + 1);  // no growth, so no copy is left behind
  char byte = 0;
  for (;;) {
    const ssize_t n = read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int read_errno = errno;
      return fail(kUsage, "Unable to read the token value from descriptor %d: %s.\n", fd,
                  std::strerror(read_errno));
    }
    if (n == 0 || byte == '\n') break;
    // Never cut short: a value that was cut would sign with another key.
    if (value.size() == kKeyFdLimit) {
      explicit_bzero(&byte, sizeof byte);
      return fail(kUsage, "The token value from descriptor %d is longer than %zu bytes.\n", fd,
                  kKeyFdLimit);
    }
    value.push_back(byte);
  }
  explicit_bzero(&byte, sizeof byte);
  token = std::move(value);
  return kOk;
}

}  // namespace

int parse_args(int argc, char* argv[], const char*& site_name, std::optional<SecretBytes>& token,
               std::initializer_list<int> own_fds) {
  // The leading "-" asks for every operand in place instead of permuting them
  // away. Options are still taken wherever they stand, as in the GNU form, but
  // POSIXLY_CORRECT in the caller's environment can no longer stop the parse
  // at the first operand.
  optind = 0;
  opterr = 1;
  bool usage_error = false;
  const char* key_fd_text = nullptr;  // the -K argument, while it is the last key given
  for (int opt; (opt = getopt(argc, argv, "-k:K:s:")) != -1;) {
    switch (opt) {
      case 'k':
        token = make_secret(optarg);
        key_fd_text = nullptr;
        // Any local user can read the command line in /proc while the tool
        // waits on its input; the token leaves it as soon as it is taken.
        explicit_bzero(optarg, std::strlen(optarg));
        break;
      case 'K':
        token.reset();
        key_fd_text = optarg;
        break;
      case 's':
        site_name = optarg;
        break;
      default:  // an operand (1), or an option getopt has just complained about
        usage_error = true;
        break;
    }
  }
  if (optind < argc) usage_error = true;
  if (usage_error) {
    return fail(kUsage, "Usage:\tzel-auth [-k token_value] [-s site_name]\n");
  }
  if (key_fd_text == nullptr) return kOk;
  const int fd = descriptor_number(key_fd_text);
  if (fd < 0) {
    return fail(kUsage, "Invalid descriptor for -K: %s.\n", key_fd_text);
  }
  // The tool's own descriptors were opened after the caller's: to the caller
  // they are closed, and the site file's first line must never become a key.
  if (std::find(own_fds.begin(), own_fds.end(), fd) != own_fds.end()) {
    return fail(kUsage, "Unable to read the token value from descriptor %d: %s.\n", fd,
                std::strerror(EBADF));
  }
  return read_key_fd(fd, token);
}

namespace {

// What a run has told its trail so far, and its one way out on failure.
class Run final : public Ending {
 public:
  explicit Run(AuditTrail* trail) : trail_(trail) { set_ending(this); }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run() { set_ending(nullptr); }

  // Records the failure (unless the record itself failed) and throws RunEnded.
  [[noreturn]] void end(int status, std::string_view message) override {
    set_ending(nullptr);
    facts.message = message;
    // A record the trail refused is not tried a second time.
    if (status != kAuditUnsent) record(status);
    throw RunEnded{status};
  }

  // Records the run as ending with status (0: the signing); a record that did
  // not go out ends the run with 14.
  void record(int status) {
    if (trail_ == nullptr) return;
    if (const int error = trail_->record(facts, status); error != 0) {
      set_ending(nullptr);  // the failure's record would meet the same trail
      fail(kAuditUnsent, "%s", unsent_message(error).c_str());
      throw RunEnded{kAuditUnsent};
    }
  }

  AuditFacts facts;

 private:
  AuditTrail* trail_;  // null: records go nowhere (a test's run, the fuzzer's)
};

}  // namespace

int print_listing(const std::vector<std::string>& lines, std::FILE* out) {
  std::string text;
  for (const std::string& line : lines) text.append(line).append("\n");
  // A listing that did not reach its reader must not end the run as a success.
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
    return fail(kWriteFailed, "Unable to write to standard output: %s.\n", std::strerror(errno));
  }
  return kOk;
}

void run(Kernel& kernel, const Ids& ids, int argc, char* argv[], const SiteFile& site,
         const char* site_path, AuditTrail* trail, std::FILE* in, std::FILE* out) {
  Run run(trail);
  AuditFacts& facts = run.facts;
  std::optional<SecretBytes> token;
  parse_args(argc, argv, facts.site_name, token,
             {site.fd.get(), trail != nullptr ? trail->file_fd() : -1, trail != nullptr ? trail->log_fd() : -1});
  facts.own_key = token.has_value();
  invoking_user(kernel, ids, facts.user);
  Body body{};
  bool line_read = false;
  read_body(body, in, line_read);
  // A line that starts with a NUL is no request, yet it names no actor either.
  facts.request = body[0] != '\0';
  if (line_read) {
    bool cut = false;
    facts.actor = find_actor(body.data(), &cut);
    if (!facts.actor) fail(kNoActor, "%s", kNoActorMessage);
    check_actor(facts.user, *facts.actor, facts.own_key, cut);
  }
  SecretBytes site_text;
  if (read_site_file(site, site_path, site_text) != kOk) run.end(kSiteUnreadable, "");
  std::vector<std::string> lines;
  if (parse_site_properties(view_of(site_text), facts.site_name, site_path, lines, token) != kOk) {
    run.end(kEmptyToken, kEmptyTokenMessage);
  }
  if (facts.request) {
    std::optional<std::string> signature_text;
    compute_signature(body.data(), facts.digest, signature_text, token);
    facts.signature = signature_text.has_value();
    if (facts.signature && !facts.own_key) facts.token_id = token_identifier(view_of(*token));
    lines.push_back("digest.value = " + facts.digest);
    if (signature_text) lines.push_back("signature.value = " + *signature_text);
    // The record goes out before any byte of the listing can reach the caller,
    // who could otherwise take the signature and stop the run before it is
    // recorded; a record that did not go out ends the run with no listing.
    run.record(kOk);
  }
  print_listing(lines, out);
}

}  // namespace zel
