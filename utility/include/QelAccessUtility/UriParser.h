#pragma once

#include <QelAccessUtility/Uri.h>

#include <string>

namespace qelutil {

class UriParser {
public:
    /// Fills `uri` from an absolute URI text. Returns false (leaving `uri`
    /// unchanged) when the text cannot be parsed or lacks a scheme or a host.
    static bool parseUri(const std::string& text, Uri& uri);
};

}  // namespace qelutil
