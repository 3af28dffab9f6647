// The words for a C library errno value, the same on every system.

#include <cctype>
#include <cstring>

#include "platform/files.hpp"

namespace platform {

std::string error_number_reason(int error_number) {
  std::string reason = std::strerror(error_number);
  if (!reason.empty()) {
    reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
  }
  return reason;
}

}  // namespace platform
