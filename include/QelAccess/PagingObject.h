#pragma once

#include <QelAccessUtility/Optional.h>

#include <cstdint>
#include <memory>
#include <string>

namespace qelutil {
class JsonObject;
class StreamingLogger;
}  // namespace qelutil

namespace qel {

/// Where a delivered page lies in a paged list of elements. Every field is
/// optional; createFromJson completes what the server left out.
class PagingObject {
public:
    qelutil::Optional<std::string> offsetId;
    qelutil::Optional<int64_t> offset;
    qelutil::Optional<int64_t> total;
    qelutil::Optional<int64_t> totalPages;
    qelutil::Optional<std::string> previous;
    qelutil::Optional<std::string> next;
    qelutil::Optional<int64_t> limit;

    /// Builds the paging information of a page that delivered `count`
    /// elements from the "paging" object of a reply. Members of the wrong
    /// JSON type are ignored; the call does not throw on any input.
    static std::shared_ptr<PagingObject> createFromJson(const qelutil::JsonObject& json, int64_t count);

    /// Logs, at warning level, every inconsistency of `paging`.
    static void printWarnings(const PagingObject& paging, const qelutil::StreamingLogger& logger);

    /// total, totalPages and limit are all known.
    bool isValid() const;
    /// Valid and spread over more than one page.
    bool isPagingEnabled() const;

    std::string toString() const;
};

}  // namespace qel
