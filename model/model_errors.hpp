#pragma once

#include <stdexcept>
#include <string>

namespace hostswitch {

// An exponential was asked for exp(NaN): 0/0 or inf/inf in a survival or mutation weight.
class ExpDomainError : public std::runtime_error {
 public:
  ExpDomainError() : std::runtime_error("exp: DOMAIN error") {}
};

// Storage for a sequence could not be had.
class InsufficientMemory : public std::runtime_error {
 public:
  InsufficientMemory() : std::runtime_error("insufficient virtual memory") {}
  // With what was asked for and what there was, in parentheses after the message.
  explicit InsufficientMemory(const std::string& detail)
      : std::runtime_error("insufficient virtual memory (" + detail + ")") {}
};

}  // namespace hostswitch
