#pragma once

#include <QelAccessUtility/JsonObject.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qel {

/// Property filters of a read: property name to required value. Rendered as
/// query text for the server and usable as a client-side test of a JSON
/// object. Every add replaces the value of an existing name.
class QelFilter {
public:
    /// The value is stored as given and URL-encoded when rendered.
    void add(const std::string& propertyName, const std::string& propertyValue);
    void add(const std::string& propertyName, const char* propertyValue);
    /// The overloads below store their value in final query form.
    void add(const std::string& propertyName, bool propertyValue);
    void add(const std::string& propertyName, int propertyValue);
    void add(const std::string& propertyName, int64_t propertyValue);
    void add(const std::string& propertyName, double propertyValue);
    /// Each element is URL-encoded; the elements are joined with ",".
    void add(const std::string& propertyName, const std::vector<std::string>& propertyValues);
    void add(const std::string& propertyName, const std::vector<bool>& propertyValues);
    void add(const std::string& propertyName, const std::vector<int64_t>& propertyValues);
    void add(const std::string& propertyName, const std::vector<double>& propertyValues);

    void addId(const std::string& id) { add("id", id); }
    void addName(const std::string& name) { add("name", name); }
    void addUri(const std::string& uri) { add("uri", uri); }

    const std::map<std::string, std::string>& getFilterMap() const { return filterMap; }

    /// The filter as query text without the leading "?", names in byte order;
    /// entries with an empty value are skipped with a warning.
    std::string createPropertySearchString() const;

    /// Whether every entry matches the member of the same name, rendered as
    /// text. An empty filter passes everything.
    bool passesFilter(qelutil::JsonObject::SharedConst json) const;

private:
    void store(const std::string& propertyName, const std::string& value, bool alreadyEncoded);

    std::map<std::string, std::string> filterMap;
    /// Names whose stored value must not be encoded again; each name at most once.
    std::vector<std::string> valueAlreadyEncoded;
};

}  // namespace qel
