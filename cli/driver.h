// The command driver: the command line, the fixed order of a run and the listing.
// A run parses its options, looks up the invoking user, reads the body and
// checks its actor, reads the site file through the descriptor opened for it,
// selects the stanza, signs a non-empty body and lists the result. The first
// step that fails ends the run through fail() (util/message.h), the one way out but the
// listing: the run's record goes to the audit trail (cli/audit.h), and
// RunEnded unwinds the run, every owner on the way releasing (and wiping) its
// state, to where the process ends with the status. Standard output then stays
// empty. A signing's record goes out before any byte of its listing.
#ifndef ZEL_CLI_DRIVER_H_
#define ZEL_CLI_DRIVER_H_

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "cli/audit.h"
#include "cli/privilege.h"
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

// Writes each line and its newline, and flushes; 0 or 9.
int print_listing(const std::vector<std::string>& lines, std::FILE* out);

// One whole run over an already opened site file, for the IDs the process
// started with: it returns once the listing is out, or throws RunEnded. trail
// may be null.
void run(Kernel& kernel, const Ids& ids, int argc, char* argv[], const SiteFile& site,
         const char* site_path, AuditTrail* trail, std::FILE* in, std::FILE* out);

}  // namespace zel

#endif  // ZEL_CLI_DRIVER_H_
