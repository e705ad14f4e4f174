#include "Listing.h"

#include "JsonValues.h"
#include "Reply.h"

#include <QelAccessUtility/JsonFactory.h>

#include <algorithm>

namespace qeldev {

using qelutil::JsonFactory;
using qelutil::JsonObject;

namespace {

using Items = std::vector<JsonObject::SharedConst>;

bool passesFilters(const JsonObject& item, const std::vector<PropertyFilter>& filters) {
    return std::all_of(filters.begin(), filters.end(), [&](const PropertyFilter& filter) {
        return std::any_of(filter.values.begin(), filter.values.end(), [&](const std::string& value) {
            return memberMatches(item, filter.name, value);
        });
    });
}

Items filtered(const Items& items, const std::vector<PropertyFilter>& filters) {
    Items kept;
    for (const auto& item : items) {
        if (item && passesFilters(*item, filters)) kept.push_back(item);
    }
    return kept;
}

/// Stable sort; items lacking a sort member come last in either direction.
Items sorted(Items items, const std::vector<SortKey>& keys) {
    if (keys.empty()) return items;
    struct Keyed {
        std::vector<SortValue> values;
        JsonObject::SharedConst item;
    };
    std::vector<Keyed> keyed;
    for (auto& item : items) {
        Keyed entry{{}, item};
        for (const auto& key : keys) entry.values.push_back(sortValueOf(*item, key.field));
        keyed.push_back(std::move(entry));
    }
    std::stable_sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const bool aMissing = a.values[i].rank == SortValue::MISSING;
            const bool bMissing = b.values[i].rank == SortValue::MISSING;
            if (aMissing != bMissing) return bMissing;
            const int order = compareSortValues(a.values[i], b.values[i]);
            if (order != 0) return keys[i].descending ? order > 0 : order < 0;
        }
        return false;
    });
    Items result;
    for (auto& entry : keyed) result.push_back(std::move(entry.item));
    return result;
}

int64_t startIndex(const Items& items, const QueryParams& query) {
    if (query.offset) return *query.offset;
    if (!query.offsetId) return 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i]->isString("id") && items[i]->getString("id") == *query.offsetId)
            return static_cast<int64_t>(i);
    }
    throw HttpError(400, "$offset names no listed element: " + *query.offsetId);
}

std::string pageLink(const std::string& path, const QueryParams& query, int64_t limit,
                     int64_t offset) {
    std::string link = path + "?";
    for (const auto& item : query.linkItems) link += item + "&";
    return link + "$limit=" + std::to_string(limit) + "&$offset=" + std::to_string(offset);
}

JsonObject::Shared pagingObject(const QueryParams& query, const std::string& path, int64_t offset,
                                int64_t limit, int64_t total) {
    const int64_t totalPages = limit > 0 ? total / limit + (total % limit > 0 ? 1 : 0) : (total > 0 ? 1 : 0);
    auto paging = JsonFactory::createJsonObject();
    paging->setLong("offset", offset);
    paging->setLong("limit", limit);
    paging->setLong("total", total);
    paging->setLong("totalPages", totalPages);
    if (query.offsetId) paging->setString("offsetId", *query.offsetId);
    if (offset > 0 && limit > 0)
        paging->setString("previous", pageLink(path, query, limit, std::max<int64_t>(0, offset - limit)));
    if (limit > 0 && offset + limit < total)
        paging->setString("next", pageLink(path, query, limit, offset + limit));
    return paging;
}

}  // namespace

JsonObject::Shared selectFields(const JsonObject& object, const QueryParams& query) {
    if (query.fields.empty()) return object.clone();
    auto selected = JsonFactory::createJsonObject();
    for (const auto& key : object.getKeys()) {
        const bool always = key == "id" || key == "name" || key == "uri";
        if (always || std::find(query.fields.begin(), query.fields.end(), key) != query.fields.end())
            copyMember(object, key, *selected);
    }
    return selected;
}

ListingPage buildListing(const Items& items, const QueryParams& query, const std::string& path,
                         int64_t defaultLimit) {
    const Items listed = sorted(filtered(items, query.filters), query.sortBy);
    const auto total = static_cast<int64_t>(listed.size());
    const int64_t offset = startIndex(listed, query);
    const int64_t limit = query.limit.value_or(defaultLimit);
    ListingPage page{JsonFactory::createJsonArray(), pagingObject(query, path, offset, limit, total)};
    const int64_t end = std::min(total, offset + std::min(limit, total));
    for (int64_t i = offset; i < end; ++i) {
        if (query.fields.empty()) {
            page.data->addObject(*listed[i]);
        } else {
            page.data->addObject(*selectFields(*listed[i], query));
        }
    }
    return page;
}

}  // namespace qeldev
