// Exit statuses of a run. Every step returns one of these; the first that is not
// kOk ends the run and becomes the process's exit status. 3 is never used, so the
// numbering that callers already parse stays as it is.
#ifndef ZEL_UTIL_STATUS_H_
#define ZEL_UTIL_STATUS_H_

namespace zel {

inline constexpr int kOk = 0;
inline constexpr int kUsage = 1;            // unknown option, missing argument, operand
inline constexpr int kUnknownUser = 2;      // no password entry for the real user ID
inline constexpr int kNotAuthorized = 4;    // the user may not sign for the actor
inline constexpr int kNoActor = 5;          // the body names no actor
inline constexpr int kSiteUnreadable = 6;   // site file can't be opened or read, or is empty
inline constexpr int kNoStanza = 7;         // selected stanza missing or empty
inline constexpr int kEmptyToken = 8;       // the stanza's token value is empty
inline constexpr int kWriteFailed = 9;      // the listing could not be written
inline constexpr int kOutOfMemory = 10;     // an allocation failed
// "The checksum could not be computed": no longer returned, since computing it
// can't fail, and kept so that callers that map it keep working.
inline constexpr int kCryptoFailed = 11;
inline constexpr int kPrivilege = 12;       // the service group's privilege can't be given up
inline constexpr int kInputUnreadable = 13; // standard input could not be read
inline constexpr int kAuditUnsent = 14;     // the audit trail's line could not be sent

}  // namespace zel

#endif  // ZEL_UTIL_STATUS_H_
