#pragma once

#include <QelAccessUtility/JsonObject.h>

#include <array>
#include <atomic>
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
    QelFilter() = default;
    QelFilter(const QelFilter& other);
    QelFilter(QelFilter&& other) noexcept;
    QelFilter& operator=(const QelFilter& other);
    QelFilter& operator=(QelFilter&& other);
    ~QelFilter();

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

    /// Property name to stored value, ordered by name. The reference stays
    /// valid, and up to date with every later add, for the filter's lifetime.
    const std::map<std::string, std::string>& getFilterMap() const;

    /// The filter as query text without the leading "?", names in byte order;
    /// entries with an empty value are skipped with a warning.
    std::string createPropertySearchString() const;

    /// Whether every entry matches the member of the same name, rendered as
    /// text. An empty filter passes everything.
    bool passesFilter(qelutil::JsonObject::SharedConst json) const;

private:
    using FilterMap = std::map<std::string, std::string>;
    struct Entry {
        std::string name;
        std::string value;
        /// The value is in final query form and must not be encoded again.
        bool alreadyEncoded = false;
    };

    /// One entry per name, in the order of their first add. The first three
    /// live in the filter itself: every element of a read carries a filter of
    /// its id, name and uri, and so needs no allocation for it.
    class Entries {
    public:
        Entry* find(const std::string& name);
        Entry& append(const std::string& name);
        std::size_t size() const { return count + more.size(); }
        bool empty() const { return size() == 0; }
        const Entry& operator[](std::size_t i) const { return i < INLINE ? first[i] : more[i - INLINE]; }
        void clear() {
            count = 0;
            more.clear();
        }

    private:
        static constexpr std::size_t INLINE = 3;
        std::array<Entry, INLINE> first;
        std::size_t count = 0;
        std::vector<Entry> more;
    };

    void store(const std::string& propertyName, std::string value, bool alreadyEncoded);
    std::vector<const Entry*> entriesByName() const;
    void fillFilterMap(FilterMap& map) const;

    Entries entries;
    /// The ordered map of getFilterMap(), built on its first call and then
    /// kept in step with `entries`. Built from a const call, so it is
    /// published atomically: two threads may ask for it at once.
    mutable std::atomic<FilterMap*> filterMap{nullptr};
};

}  // namespace qel
