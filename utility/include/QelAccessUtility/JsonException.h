#pragma once

#include <exception>
#include <string>

namespace qelutil {

/// Raised by the JSON model for malformed text, a missing key or a value of
/// the wrong type. The message names the key (or offset) and what was expected.
class JsonException : public std::exception {
public:
    explicit JsonException(std::string msg) : m_msg(std::move(msg)) {}
    const char* what() const noexcept override { return m_msg.c_str(); }

protected:
    std::string m_msg;
};

}  // namespace qelutil
