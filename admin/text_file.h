// Reading a whole site text (the live file, a candidate, the edited copy) into
// wiped memory, for zel-site. Only a regular file is read.
#ifndef ZEL_ADMIN_TEXT_FILE_H_
#define ZEL_ADMIN_TEXT_FILE_H_

#include <string>

#include "util/secret.h"

namespace zel {

// Reads the regular file at path into text; false with "PATH: reason", and missing set when it is absent.
bool read_text_file(const std::string& path, SecretBytes& text, std::string& error,
                    bool* missing = nullptr);

}  // namespace zel

#endif  // ZEL_ADMIN_TEXT_FILE_H_
