#pragma once

#include <QelAccessUtility/Optional.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qel {

/// The reserved query parameters of a read: returned fields, expansion,
/// sort order and paging. Unset values are left out of the query string.
class QueryOptions {
public:
    enum EXPAND_LEVEL { LEVEL_ZERO = 0, LEVEL_ONE = 1, LEVEL_TWO = 2, LEVEL_THREE = 3 };
    enum SORTBY_OPERATOR { PLUS = 0, MINUS = 1 };

    using SortbyField = std::pair<SORTBY_OPERATOR, std::string>;

    static const std::map<EXPAND_LEVEL, std::string> EXPAND_LEVEL_2_STRING;
    static const std::map<SORTBY_OPERATOR, std::string> SORTBY_OPERATOR_2_STRING;

    QueryOptions() = default;
    QueryOptions(const QueryOptions&) = default;
    QueryOptions(QueryOptions&&) = default;
    QueryOptions& operator=(const QueryOptions&) = default;
    QueryOptions& operator=(QueryOptions&&) = default;
    virtual ~QueryOptions() = default;

    const std::vector<std::string>& getFieldsFilter() const { return fieldsFilter; }
    void setFieldsFilter(const std::vector<std::string>& fields) { fieldsFilter = fields; }
    void addToFieldsFilter(const std::string& field) { fieldsFilter.push_back(field); }
    void clearFieldsFilter() { fieldsFilter.clear(); }

    EXPAND_LEVEL getExpandLevel() const { return expandlevel; }
    void setExpandLevel(EXPAND_LEVEL level) { expandlevel = level; }

    const std::vector<std::string>& getExpandFields() const { return expandfields; }
    void setExpandFields(const std::vector<std::string>& fields) { expandfields = fields; }

    const std::vector<SortbyField>& getSortbyFields() const { return sortbyFields; }
    void setSortbyFields(const std::vector<SortbyField>& fields) { sortbyFields = fields; }

    qelutil::Optional<int64_t> getPagingOffset() const { return pagingOffset; }
    int64_t getPagingOffset(int64_t fallback) const { return pagingOffset.getValueOr(fallback); }
    void setPagingOffset(int64_t offset) { pagingOffset = offset; }
    void setPagingOffset(const qelutil::Optional<int64_t>& offset) { pagingOffset = offset; }
    void setPagingOffsetUnspecified() { pagingOffset.reset(); }

    qelutil::Optional<std::string> getPagingOffsetUuid() const { return pagingOffsetUuid; }
    std::string getPagingOffsetUuid(const std::string& fallback) const {
        return pagingOffsetUuid.getValueOr(fallback);
    }
    void setPagingOffsetUuid(const std::string& offsetId) { pagingOffsetUuid = offsetId; }
    void setPagingOffsetUuid(const qelutil::Optional<std::string>& offsetId) { pagingOffsetUuid = offsetId; }
    void setPagingOffsetUuidUnspecified() { pagingOffsetUuid.reset(); }

    qelutil::Optional<int64_t> getPagingLimit() const { return pagingLimit; }
    int64_t getPagingLimit(int64_t fallback) const { return pagingLimit.getValueOr(fallback); }
    void setPagingLimit(int64_t limit) { pagingLimit = limit; }
    void setPagingLimit(const qelutil::Optional<int64_t>& limit) { pagingLimit = limit; }
    void setPagingLimitUnspecified() { pagingLimit.reset(); }

    /// The options as query text without the leading "?", parameters in the
    /// fixed order $fields, $expand, $sortby, $limit, $offset.
    std::string createQueryString() const;

private:
    std::vector<std::string> fieldsFilter;
    EXPAND_LEVEL expandlevel = LEVEL_ZERO;
    std::vector<std::string> expandfields;
    std::vector<SortbyField> sortbyFields;
    qelutil::Optional<int64_t> pagingOffset;
    qelutil::Optional<std::string> pagingOffsetUuid;
    qelutil::Optional<int64_t> pagingLimit;
};

}  // namespace qel
