// The command driver: the command line, the fixed order of a run and the listing.
// A run parses its options, checks the actor, reads the site file through the
// descriptor opened for it, selects the stanza, signs a non-empty body and lists
// the result. The first step that fails ends it with that step's status, and
// standard output stays empty; every piece of state is released (secrets wiped)
// by its owner on every path. A run that read a request leaves its line in the
// audit trail (cli/audit.h), a signing's before the listing: a line the log
// does not take ends the run with status 14 and no listing.
#ifndef ZEL_CLI_DRIVER_H_
#define ZEL_CLI_DRIVER_H_

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <optional>

#include "site/properties.h"
#include "site/site_file.h"
#include "util/secret.h"

namespace zel {

// The most bytes of a token value read from a -K descriptor, its newline aside.
inline constexpr std::size_t kKeyFdLimit = 4095;

// Takes -k, -K and -s from argv (the last of each counts, -k and -K as one),
// wiping every -k value from argv, and reads the -K descriptor if it counts;
// a descriptor among own_fds is never read. 0, or 1 with its message.
int parse_args(int argc, char* argv[], const char*& site_name, std::optional<SecretBytes>& token,
               std::initializer_list<int> own_fds = {});

// Reads a token value from fd: up to its first newline or end, at most
// kKeyFdLimit bytes, one byte at a time so nothing after the newline is taken.
// 0, or 1 with its message.
int read_key_fd(int fd, std::optional<SecretBytes>& token);

// Writes the filled slots among the first count + 2, one per line, and flushes; 0 or 9.
int print_properties(const PropertyList& list, std::FILE* out);

// One whole run over an already opened site file, audited; returns the exit status.
int run(int argc, char* argv[], const SiteFile& site, const char* site_path, std::FILE* in,
        std::FILE* out);

}  // namespace zel

#endif  // ZEL_CLI_DRIVER_H_
