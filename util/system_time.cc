#include "util/system_time.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace zel {

std::tm system_local_time(std::time_t now) {
  // The C library takes the zone from TZ when it is set; for the moment of the
  // conversion it is not, and then it is put back as it was.
  std::optional<std::string> saved;
  if (const char* tz = std::getenv("TZ")) saved = tz;
  if (saved) unsetenv("TZ");
  tzset();
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) gmtime_r(&now, &local);
  if (saved) {
    setenv("TZ", saved->c_str(), 1);
    tzset();
  }
  return local;
}

}  // namespace zel
