#include "model/SourceLocation.h"

#include <cstring>

namespace qel {
namespace detail {

std::string sourceLocation(const char* file, int line) {
    const char* start = file;
    for (const char* p = std::strstr(file, "/src/"); p != nullptr; p = std::strstr(p + 1, "/src/")) start = p + 1;
    return std::string(start) + ":" + std::to_string(line) + " ";
}

}  // namespace detail
}  // namespace qel
