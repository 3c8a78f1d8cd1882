// zel-site's record of the site file it last put in force: the file's SHA-256,
// kept in a file of root's alone whose path is fixed when zel-site is built
// (default /var/lib/zel-auth/site-file.sha256), so that a change made outside
// zel-site (an editor run by hand, sed -i, a copy by configuration management)
// is found. `zel-site check` reports a live file that differs from it, and the
// next writing command records the difference in the audit file before its own
// change. The record is the 64 digits and a newline, replaced whole (a new file
// renamed over it); nothing recorded yet reads as "none", as does a missing
// live file.
#ifndef ZEL_ADMIN_RECORD_H_
#define ZEL_ADMIN_RECORD_H_

#include <optional>
#include <string>
#include <string_view>

#include "admin/check.h"

namespace zel {

// The SHA-256 of the live text, "none" for no live file; 0, or 10 or 11 with the message.
int live_hash(std::optional<std::string_view> live, std::string& hash);

// The hash recorded at path ("none": nothing recorded); false with "PATH: reason".
bool read_recorded_hash(const char* path, std::string& hash, std::string& error);

// Records hash at path; false with "PATH: reason".
bool record_hash(const char* path, const std::string& hash, std::string& error);

// check's finding about the live text (none: no live file) when it is not the one last
// recorded, or when the record can't be read.
std::optional<Finding> outside_change(const char* record, const char* site, std::optional<std::string_view> live);

}  // namespace zel

#endif  // ZEL_ADMIN_RECORD_H_
