// The command driver: the command line, the fixed order of a run and the listing.
// A run parses its options, checks the actor, reads the site file through the
// descriptor opened for it, selects the stanza, signs a non-empty body and lists
// the result. The first step that fails ends it with that step's status, and
// standard output stays empty; every piece of state is released (secrets wiped)
// by its owner on every path. A run that read a request then leaves its line in
// the audit trail (cli/audit.h).
#ifndef ZEL_CLI_DRIVER_H_
#define ZEL_CLI_DRIVER_H_

#include <cstdio>
#include <optional>

#include "site/properties.h"
#include "site/site_file.h"
#include "util/secret.h"

namespace zel {

// Takes -k and -s from argv (the last of each counts), wiping every -k value from
// argv; 0, or 1 after the usage text.
int parse_args(int argc, char* argv[], const char*& site_name, std::optional<SecretBytes>& token);

// Writes the filled slots among the first count + 2, one per line, and flushes; 0 or 9.
int print_properties(const PropertyList& list, std::FILE* out);

// One whole run over an already opened site file, audited; returns the exit status.
int run(int argc, char* argv[], const SiteFile& site, const char* site_path, std::FILE* in,
        std::FILE* out);

}  // namespace zel

#endif  // ZEL_CLI_DRIVER_H_
