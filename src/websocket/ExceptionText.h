#pragma once

#include <Poco/Exception.h>

#include <exception>
#include <string>

namespace qel {
namespace detail {

/// The text of an exception for a log line. Poco exceptions name only their
/// class in what(); their displayText() adds the detail.
inline std::string exceptionText(const std::exception& e) {
    if (const auto* poco = dynamic_cast<const Poco::Exception*>(&e)) return poco->displayText();
    return e.what();
}

}  // namespace detail
}  // namespace qel
