#pragma once

#include "QueryParams.h"

#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>

#include <string>
#include <vector>

namespace qeldev {

/// One page of a listing, ready for the envelope.
struct ListingPage {
    qelutil::JsonArray::Shared data;
    qelutil::JsonObject::Shared paging;
};

/// Applies the property filters, the sort keys, the paging and the field
/// selection of `query` to `items`, in that order. Without "$limit" a page
/// holds `defaultLimit` items. The paging object carries "offset",
/// "limit", "total" (items after filtering), "totalPages", "offsetId" when
/// the offset was given as an id, and "previous" and "next" links (`path`
/// with the query, its $offset moved) only when such a page exists.
/// Throws HttpError 400 when an offset id names no listed item.
ListingPage buildListing(const std::vector<qelutil::JsonObject::SharedConst>& items,
                         const QueryParams& query, const std::string& path, int64_t defaultLimit);

/// The object limited to the "$fields" of `query` plus "id", "name" and
/// "uri" (all members when no fields are asked for).
qelutil::JsonObject::Shared selectFields(const qelutil::JsonObject& object, const QueryParams& query);

}  // namespace qeldev
