#pragma once

#include <string>

namespace qelutil {

/// JSON string literals for text written by hand: '"' and '\' are escaped,
/// as are control characters ("\n", "\t", ... or "\u001F"); everything else,
/// UTF-8 included, is kept as it is.
class JsonEscape {
public:
    /// The contents of the literal, without the quotes.
    static std::string escape(const std::string& text);
    /// Appends the quoted literal to `out`.
    static void appendQuoted(std::string& out, const std::string& text);
};

}  // namespace qelutil
