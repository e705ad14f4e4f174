#pragma once

#include <string>

namespace qelutil {

/// Percent-encoding for query strings and path segments: the RFC 3986
/// unreserved characters (letters, digits, "-", ".", "_", "~") pass; every
/// other byte is written as "%XX" with upper-case hex digits.
class URLEncoder {
public:
    /// Every printable ASCII character that encode() escapes (control
    /// characters and bytes above 0x7E are escaped as well).
    static const std::string unsafeString;

    static std::string encode(const std::string& text);

    /// One path segment for a request line: unreserved characters, the
    /// sub-delimiters "!$&'()*+,;=", ":", "@" and "%" (so that a segment the
    /// caller encoded already stays as it is) pass; every other byte ("/",
    /// "?", "#", spaces, controls, bytes above 0x7E) is written as "%XX".
    static std::string encodePathSegment(const std::string& segment);
};

}  // namespace qelutil
