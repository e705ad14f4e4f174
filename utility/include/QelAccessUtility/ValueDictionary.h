#pragma once

#include <QelAccessUtility/IValueDictionary.h>

#include <map>
#include <mutex>

namespace qelutil {

/// Thread-safe IValueDictionary over an ordered map.
class ValueDictionary : public IValueDictionary {
public:
    bool has(const std::string& key) const override;
    std::string get(const std::string& key, const std::string& fallback = "") const override;
    void set(const std::string& key, const std::string& value) override;
    bool remove(const std::string& key) override;
    std::vector<std::string> getKeys() const override;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::string> m_values;
};

}  // namespace qelutil
