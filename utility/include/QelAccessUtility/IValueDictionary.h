#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qelutil {

/// A string-to-string dictionary handed through the library to clients.
/// Implementations are thread-safe.
class IValueDictionary {
public:
    using Shared = std::shared_ptr<IValueDictionary>;
    virtual ~IValueDictionary() = default;

    virtual bool has(const std::string& key) const = 0;
    /// The value of `key`, or `fallback` when absent.
    virtual std::string get(const std::string& key, const std::string& fallback = "") const = 0;
    virtual void set(const std::string& key, const std::string& value) = 0;
    virtual bool remove(const std::string& key) = 0;
    virtual std::vector<std::string> getKeys() const = 0;
};

}  // namespace qelutil
