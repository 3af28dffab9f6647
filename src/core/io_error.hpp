#pragma once

#include <stdexcept>
#include <string>

// A failure that ends the run: what it concerns (a file name, or "standard
// input") and the reason in plain words, or a reason that concerns the run
// as a whole. The driver prints it as one line, "wave_effect: <subject>:
// <reason>" (or "wave_effect: <reason>"), and exits with status 1.
class io_error : public std::runtime_error {
 public:
  io_error(const std::string& subject, const std::string& reason)
      : std::runtime_error(subject + ": " + reason) {}
  explicit io_error(const std::string& reason) : std::runtime_error(reason) {}
};
