#include "admin/record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "admin/text_file.h"
#include "sign/sha256.h"
#include "util/log_field.h"
#include "util/unique_fd.h"

namespace zel {

int live_hash(std::optional<std::string_view> live, std::string& hash) {
  hash = "none";
  return live ? sha256_hex(*live, hash) : 0;
}

bool read_recorded_hash(const char* path, std::string& hash, std::string& error) {
  SecretBytes text;
  bool missing = false;
  if (!read_text_file(path, text, error, {.follow_link = false, .missing = &missing})) {
    hash = "none";
    return missing;
  }
  hash.assign(text.begin(), text.end());
  if (hash.ends_with('\n')) hash.pop_back();
  return true;
}

bool record_hash(const char* path, const std::string& hash, std::string& error) {
  const std::string fresh = std::string(path) + ".new";
  UniqueFd fd(open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  const bool done = fd && write_all(fd.get(), hash + "\n") && fsync(fd.get()) == 0 && fd.close() == 0 &&
                    std::rename(fresh.c_str(), path) == 0;
  if (!done) {
    error = std::string(path) + ": " + std::strerror(errno);
    unlink(fresh.c_str());
  }
  return done;
}

std::optional<Finding> outside_change(const char* record, const char* site, std::optional<std::string_view> live) {
  std::string now;
  std::string recorded;
  std::string error;
  if (!read_recorded_hash(record, recorded, error)) return Finding{record, 0, Severity::kError, error};
  if (live_hash(live, now) != 0) return Finding{site, 0, Severity::kError, "its SHA-256 can't be computed"};
  if (now == recorded) return std::nullopt;
  return Finding{site, 0, Severity::kWarning,
                 "changed outside zel-site; not in the audit file (SHA-256 " + now + ", last recorded " + name_field(recorded) +
                     "): the next zel-site edit, install or set-token records it as an outside change"};
}

}  // namespace zel
