#pragma once

#include <QelAccess/QelFilter.h>
#include <QelAccess/QueryOptions.h>

#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/Optional.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

/// Addresses a service, a resource or an element: the names that build the
/// path, the element's id, name and uri, and the query options and property
/// filter that shape a read. A plain value: copy it freely.
class XObjectDescriptor {
public:
    XObjectDescriptor() = default;
    XObjectDescriptor(const std::string& service, const std::string& resource);
    XObjectDescriptor(const XObjectDescriptor&) = default;
    XObjectDescriptor(XObjectDescriptor&&) = default;
    XObjectDescriptor& operator=(const XObjectDescriptor&) = default;
    XObjectDescriptor& operator=(XObjectDescriptor&&) = default;
    virtual ~XObjectDescriptor() = default;

    virtual const qelutil::Optional<std::string>& getId() const { return id; }
    const qelutil::Optional<std::string>& getName() const { return name; }
    const qelutil::Optional<std::string>& getUri() const { return uri; }
    const std::string& getService() const { return service; }
    const std::string& getResource() const { return resource; }
    const QueryOptions& getQueryOptions() const { return queryOptions; }
    QueryOptions& getQueryOptions() { return queryOptions; }
    const QelFilter& getQelFilter() const { return qelFilter; }
    QelFilter& getQelFilter() { return qelFilter; }

    /// The setters also make the descriptor filter on the value, under the
    /// property "id", "name" or "uri".
    void setId(const std::string& value);
    void setName(const std::string& value);
    void setUri(const std::string& value);
    void setId(std::string&& value);
    void setName(std::string&& value);
    void setUri(std::string&& value);

    void setExpandLevel(QueryOptions::EXPAND_LEVEL level) { queryOptions.setExpandLevel(level); }
    /// Back to default query options, paging included; the filter stays.
    void resetQueryOptions() { queryOptions = QueryOptions(); }

    /// "/" service "/" resource "/" id; throws std::runtime_error when the id is unset.
    std::string getRelativeUri() const;

    std::string createQueryOptionsString() const { return queryOptions.createQueryString(); }
    std::string createPropertySearchString() const { return qelFilter.createPropertySearchString(); }
    /// Query options and property filter joined with "&" (either may be absent).
    std::string createPropertySearchAndQueryOptionsString() const;

    /// A new object with "id", "uri" and "name", each only when set.
    virtual qelutil::JsonObject::Shared getAsJson() const;
    /// The body of element creation and update: "name" when set.
    virtual qelutil::JsonObject::Shared getAsQELBody() const;

protected:
    using Fields = std::vector<std::string>;
    using SortbyFields = std::vector<QueryOptions::SortbyField>;

    void setQueryOptions(const Fields& fields, QueryOptions::EXPAND_LEVEL level);
    void setQueryOptions(const Fields& fields, QueryOptions::EXPAND_LEVEL level, const Fields& expandFields,
                         const SortbyFields& sortby);
    void setQueryOptions(const Fields& fields, QueryOptions::EXPAND_LEVEL level, const Fields& expandFields,
                         const SortbyFields& sortby, int64_t limit, int64_t offset);
    void setQueryOptions(const Fields& fields, QueryOptions::EXPAND_LEVEL level, const Fields& expandFields,
                         const SortbyFields& sortby, int64_t limit, const std::string& offsetId);
    void setQueryOptionsLimit(const Fields& fields, QueryOptions::EXPAND_LEVEL level, const Fields& expandFields,
                              const SortbyFields& sortby, int64_t limit);
    void setQueryOptionsOffset(const Fields& fields, QueryOptions::EXPAND_LEVEL level, const Fields& expandFields,
                               const SortbyFields& sortby, int64_t offset);
    void setQueryOptionsOffset(const Fields& fields, QueryOptions::EXPAND_LEVEL level, const Fields& expandFields,
                               const SortbyFields& sortby, const std::string& offsetId);

    qelutil::Optional<std::string> id;
    qelutil::Optional<std::string> name;
    qelutil::Optional<std::string> uri;
    std::string service;
    std::string resource;
    QueryOptions queryOptions;
    QelFilter qelFilter;

private:
    void setBaseQueryOptions(const Fields& fields, QueryOptions::EXPAND_LEVEL level, const Fields& expandFields,
                             const SortbyFields& sortby);
};

}  // namespace qel
