// What the set-group-ID helper does before it trusts anything: the standard
// descriptors are made safe, the process is kept from being traced or dumped, and
// the service group's privilege, needed only to open the site file, is given up
// for good right after that open. The user IDs are reset too, so an installation
// of the older set-user-ID form gives up its service account the same way.
#ifndef ZEL_CLI_PRIVILEGE_H_
#define ZEL_CLI_PRIVILEGE_H_

namespace zel {

// Opens /dev/null on any closed descriptor 0, 1 or 2, each unusable in its own direction.
void ensure_standard_descriptors();

// Makes the process non-dumpable and its core limit 0.
void make_undumpable();

// Sets the real, effective and saved user and group IDs to the real ones, leaving
// the process non-dumpable throughout; 0 or 12.
int drop_privileges();

}  // namespace zel

#endif  // ZEL_CLI_PRIVILEGE_H_
