#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qeldev {

struct SortKey {
    std::string field;
    bool descending = false;
};

/// A property filter: the member `name` must equal one of `values`.
struct PropertyFilter {
    std::string name;
    std::vector<std::string> values;
};

/// The query string of a request, decoded and checked. Reserved parameters
/// start with "$"; every other parameter is a property filter whose value is
/// a comma-separated list (each item percent-decoded on its own, so an
/// encoded comma belongs to the item). A repeated parameter replaces the
/// earlier one.
struct QueryParams {
    std::vector<std::string> fields;
    /// Accepted and checked, not applied: the data has no linked objects.
    std::vector<std::string> expand;
    std::vector<SortKey> sortBy;
    std::optional<int64_t> limit;
    std::optional<int64_t> offset;
    std::optional<std::string> offsetId;
    std::vector<PropertyFilter> filters;
    /// The raw "name=value" items except $limit and $offset, in order, for
    /// building paging links.
    std::vector<std::string> linkItems;

    /// Throws HttpError 400 for malformed text, an unknown reserved
    /// parameter or a bad number; 414 when longer than `maxBytes`.
    static QueryParams parse(const std::string& rawQuery, std::size_t maxBytes);
};

/// Decodes percent escapes ("+" stays "+"). Throws HttpError 400 for a
/// broken escape or a decoded control character.
std::string decodeComponent(const std::string& text);

}  // namespace qeldev
