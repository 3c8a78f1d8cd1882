// The set-up both programs make before they open anything: descriptors 0, 1
// and 2, when closed, are opened on /dev/null, each in the direction it is not
// used in (as the C library does for set-user-ID programs), so no file the
// program opens can take their place and receive its output or messages, and a
// closed standard output still makes a listing fail rather than vanish; a file
// size limit makes a write fail rather than kill the process halfway; and the
// process can't be traced or dumped, so no token reaches a core file.
#ifndef ZEL_UTIL_HARDENING_H_
#define ZEL_UTIL_HARDENING_H_

namespace zel {

// Makes the set-up above; a descriptor that can't be opened aborts the process,
// as nothing could be reported without it.
void harden_process();

}  // namespace zel

#endif  // ZEL_UTIL_HARDENING_H_
