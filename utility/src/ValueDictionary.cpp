#include <QelAccessUtility/ValueDictionary.h>

namespace qelutil {

bool ValueDictionary::has(const std::string& key) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.count(key) > 0;
}

std::string ValueDictionary::get(const std::string& key, const std::string& fallback) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(key);
    return it == m_values.end() ? fallback : it->second;
}

void ValueDictionary::set(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values[key] = value;
}

bool ValueDictionary::remove(const std::string& key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.erase(key) > 0;
}

std::vector<std::string> ValueDictionary::getKeys() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> keys;
    keys.reserve(m_values.size());
    for (const auto& entry : m_values) keys.push_back(entry.first);
    return keys;
}

}  // namespace qelutil
