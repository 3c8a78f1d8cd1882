#include "cli/driver.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "auth/actor.h"
#include "cli/audit.h"
#include "sign/signature.h"
#include "sign/token_id.h"
#include "util/message.h"
#include "util/status.h"

namespace zel {

namespace {

// The descriptor number of a -K argument: decimal digits only, within int; -1 if not.
int descriptor_number(const char* text) {
  if (*text < '0' || *text > '9') return -1;
  errno = 0;
  char* end = nullptr;
  const long number = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || number > INT_MAX) return -1;
  return static_cast<int>(number);
}

}  // namespace

int read_key_fd(int fd, std::optional<SecretBytes>& token) {
  SecretBytes value;
  value.reserve(kKeyFdLimit + 1);  // no growth, so no copy is left behind
  char byte = 0;
  for (;;) {
    const ssize_t n = read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int read_errno = errno;
      report("Unable to read the token value from descriptor %d: %s.\n", fd,
             std::strerror(read_errno));
      return kUsage;
    }
    if (n == 0 || byte == '\n') break;
    // Never cut short: a value that was cut would sign with another key.
    if (value.size() == kKeyFdLimit) {
      explicit_bzero(&byte, sizeof byte);
      report("The token value from descriptor %d is longer than %zu bytes.\n", fd, kKeyFdLimit);
      return kUsage;
    }
    value.push_back(byte);
  }
  explicit_bzero(&byte, sizeof byte);
  token = std::move(value);
  return kOk;
}

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
    std::fputs("Usage:\tzel-auth [-k token_value] [-s site_name]\n", stderr);
    return kUsage;
  }
  if (key_fd_text == nullptr) return kOk;
  const int fd = descriptor_number(key_fd_text);
  if (fd < 0) {
    report("Invalid descriptor for -K: %s.\n", key_fd_text);
    return kUsage;
  }
  // The tool's own descriptors were opened after the caller's: to the caller
  // they are closed, and the site file's first line must never become a key.
  if (std::find(own_fds.begin(), own_fds.end(), fd) != own_fds.end()) {
    report("Unable to read the token value from descriptor %d: %s.\n", fd, std::strerror(EBADF));
    return kUsage;
  }
  return read_key_fd(fd, token);
}

int print_properties(const PropertyList& list, std::FILE* out) {
  int write_errno = 0;
  for (std::size_t i = 0; i < list.count + 2; ++i) {
    if (!list.slots[i]) continue;
    const std::string& line = *list.slots[i];
    if ((std::fwrite(line.data(), 1, line.size(), out) != line.size() ||
         std::fputs("\n", out) == EOF) &&
        write_errno == 0) {
      write_errno = errno;
    }
  }
  if (std::fflush(out) != 0 && write_errno == 0) write_errno = errno;
  // A listing that did not reach its reader must not end the run as a success.
  if (write_errno != 0 || std::ferror(out)) {
    report("Unable to write to standard output: %s.\n",
           std::strerror(write_errno != 0 ? write_errno : EIO));
    return kWriteFailed;
  }
  return kOk;
}

namespace {

// The steps of a run, in their order; each tells facts what the audit trail records.
int run_steps(int argc, char* argv[], const SiteFile& site, const char* site_path, std::FILE* in,
              std::FILE* out, AuditFacts& facts) {
  const char* site_name = nullptr;
  std::optional<SecretBytes> token;
  Body body{};
  SecretBytes site_text;
  PropertyList list;
  std::string digest_text;
  std::optional<std::string> signature_text;

  int status = parse_args(argc, argv, site_name, token, {site.fd(), audit_log_descriptor()});
  if (status != kOk) return status;
  facts.site_name = site_name;
  facts.own_key = token.has_value();
  status = validate_user(body, token.has_value(), in, &facts.user);
  facts.request = body[0] != '\0';
  if (facts.request) facts.actor = find_actor(body.data());
  if (status != kOk) return status;
  status = read_site_file(site, site_path, site_text);
  if (status != kOk) return status;
  status = parse_site_properties(view_of(site_text), site_name, site_path, list, token);
  if (status != kOk) return status;
  if (body[0] != '\0') {
    status = compute_signature(body.data(), digest_text, signature_text, token);
    if (status != kOk) return status;
    facts.digest = digest_text;
    facts.signature = signature_text.has_value();
    if (facts.signature && !facts.own_key) {
      status = token_identifier(view_of(*token), facts.token_id);
      if (status != kOk) return status;
    }
    append_signature(list, digest_text, signature_text);
    // The line goes out before any byte of the listing can reach the caller,
    // who could otherwise take the signature and stop the run before it logs;
    // a line the log did not take ends the run with no listing at all.
    facts.signing_logged = true;
    status = audit_run(facts, kOk);
    if (status != kOk) return status;
  }
  return print_properties(list, out);
}

}  // namespace

int run(int argc, char* argv[], const SiteFile& site, const char* site_path, std::FILE* in,
        std::FILE* out) {
  AuditFacts facts;
  forget_reports();
  int status = kOk;
  try {
    status = run_steps(argc, argv, site, site_path, in, out, facts);
  } catch (const std::bad_alloc&) {
    // Every owner in the steps has released (and wiped) its state on the way
    // out here, and the request, if one was read, still gets its line.
    report("Out of memory.\n");
    status = kOutOfMemory;
  }
  facts.message = last_report();
  // A signing already has its line; a listing that then could not be written
  // adds the failure's. A line the log refused is not tried a second time.
  if ((!facts.signing_logged || status != kOk) && status != kAuditUnsent) {
    const int logged = audit_run(facts, status);
    if (logged != kOk) status = logged;
  }
  return status;
}

}  // namespace zel
