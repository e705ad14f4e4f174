#pragma once

#include <string>

namespace qel {
namespace detail {

/// The location prefix of warning and error lines: the source file's path
/// from "src/" on, ":", the line number and a blank.
std::string sourceLocation(const char* file, int line);

}  // namespace detail
}  // namespace qel

#define QEL_SOURCE_LOCATION ::qel::detail::sourceLocation(__FILE__, __LINE__)
