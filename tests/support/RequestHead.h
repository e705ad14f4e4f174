#pragma once

#include <Poco/String.h>

#include <string>
#include <utility>
#include <vector>

namespace qeltest {

using PeerHeaders = std::vector<std::pair<std::string, std::string>>;

/// The request line and header fields of one HTTP request, as a scripted
/// peer read them.
struct RequestHead {
    std::string method;
    std::string uri;  ///< request target, query included
    std::string version;
    PeerHeaders headers;

    /// The first header named `name` (case-insensitive), or "".
    std::string header(const std::string& name) const {
        const std::string* value = find(name);
        return value ? *value : std::string();
    }
    bool hasHeader(const std::string& name) const { return find(name) != nullptr; }

    /// Takes method, target and version from "METHOD TARGET VERSION";
    /// false when the line has another shape.
    bool parseRequestLine(const std::string& line) {
        const std::size_t first = line.find(' ');
        if (first == std::string::npos) return false;
        const std::size_t second = line.find(' ', first + 1);
        if (second == std::string::npos) return false;
        method = line.substr(0, first);
        uri = line.substr(first + 1, second - first - 1);
        version = line.substr(second + 1);
        return true;
    }

private:
    const std::string* find(const std::string& name) const {
        for (const auto& header : headers)
            if (Poco::icompare(header.first, name) == 0) return &header.second;
        return nullptr;
    }
};

}  // namespace qeltest
