#pragma once

#include <stdexcept>
#include <string>

namespace lumifold {

// The one error type of the core: a domain, a code within it and a human-readable message.
// `what()` returns the message, so callers can show it unchanged.
class Error : public std::runtime_error {
  public:
    Error(std::string domain, int code, std::string message);

    const std::string& domain() const noexcept { return m_domain; }
    int code() const noexcept { return m_code; }
    std::string message() const { return what(); }

  private:
    std::string m_domain;
    int m_code;
};

}  // namespace lumifold
