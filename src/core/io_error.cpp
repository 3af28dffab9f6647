#include "core/io_error.hpp"

#include <cctype>
#include <cstring>

std::string system_reason(int error_number) {
  std::string reason = std::strerror(error_number);
  if (!reason.empty()) {
    reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
  }
  return reason;
}
