#include <QelAccess/PagingObject.h>

#include <QelAccessUtility/JsonObject.h>
#include <QelAccessUtility/StreamingLogger.h>

#include <charconv>
#include <regex>
#include <sstream>
#include <system_error>

namespace qel {

namespace {

constexpr int64_t kNoOffset = -2;
constexpr int64_t kDefaultLimit = 25;

// The regular-expression matcher recurses once per character, so a huge
// link from the network could exhaust the stack; real links are far shorter.
constexpr std::size_t kMaxLinkLength = 4096;

/// The number after the last "$offset=" in `link`, or kNoOffset when there is
/// none or it does not fit a signed 64-bit integer.
int64_t parseOffsetFromPreviousOrNext(const std::string& link) {
    // Compiled on first use (thread-safe static initialisation) and kept.
    static const std::regex offsetPattern(".*\\$offset=([0-9]+).*", std::regex::ECMAScript);
    if (link.size() > kMaxLinkLength) return kNoOffset;
    std::smatch match;
    if (!std::regex_match(link, match, offsetPattern)) return kNoOffset;
    const std::string digits = match[1].str();
    int64_t value = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) return kNoOffset;
    return value;
}

void readText(const qelutil::JsonObject& json, const std::string& key, qelutil::Optional<std::string>& field) {
    if (json.has(key) && json.isString(key)) field = json.getString(key);
}

void readNumber(const qelutil::JsonObject& json, const std::string& key, qelutil::Optional<int64_t>& field) {
    if (json.has(key) && json.isLong(key)) field = json.getLong(key);
}

/// Pages needed for `total` elements at `limit` per page, rounding up; a
/// limit below 1 counts everything as one page (none when total is not positive).
int64_t computeTotalPages(int64_t total, int64_t limit) {
    const int64_t quotient = limit >= 1 ? total / limit : 0;
    const int64_t remainder = total - quotient * limit;
    return quotient + (remainder > 0 ? 1 : 0);
}

void deriveOffset(PagingObject& paging) {
    const int64_t limit = paging.limit.getValue();
    int64_t derived = 0;
    if (paging.previous.isValid() && paging.next.isValid()) {
        const int64_t nextOffset = parseOffsetFromPreviousOrNext(paging.next.getValue());
        if (nextOffset != kNoOffset && !__builtin_sub_overflow(nextOffset, limit, &derived)) paging.offset = derived;
    } else if (paging.previous.isValid()) {
        const int64_t previousOffset = parseOffsetFromPreviousOrNext(paging.previous.getValue());
        if (previousOffset != kNoOffset && !__builtin_add_overflow(previousOffset, limit, &derived))
            paging.offset = derived;
    } else if (paging.next.isValid()) {
        paging.offset = 0;
    }
}

template <typename T>
void writeField(std::ostream& out, const qelutil::Optional<T>& field) {
    if (field.isValid())
        out << field.getValue();
    else
        out << "invalid";
}

}  // namespace

std::shared_ptr<PagingObject> PagingObject::createFromJson(const qelutil::JsonObject& json, int64_t count) {
    auto paging = std::make_shared<PagingObject>();
    readText(json, "offsetId", paging->offsetId);
    readNumber(json, "offset", paging->offset);
    readNumber(json, "total", paging->total);
    readNumber(json, "totalPages", paging->totalPages);
    readText(json, "previous", paging->previous);
    readText(json, "next", paging->next);
    readNumber(json, "limit", paging->limit);

    if (!paging->total.isValid()) paging->total = count;
    if (!paging->limit.isValid()) paging->limit = count >= 1 ? count : kDefaultLimit;
    if (!paging->totalPages.isValid())
        paging->totalPages = computeTotalPages(paging->total.getValue(), paging->limit.getValue());
    if (!paging->offset.isValid()) deriveOffset(*paging);
    return paging;
}

void PagingObject::printWarnings(const PagingObject& paging, const qelutil::StreamingLogger& logger) {
    if (!paging.total.isValid()) logger.logWarning() << "total of paging object is invalid";
    if (!paging.totalPages.isValid()) logger.logWarning() << "totalPages of paging object is invalid";
    if (!paging.limit.isValid()) logger.logWarning() << "limit of paging object is invalid";
    if (!paging.isValid()) {
        logger.logWarning() << "paging object is invalid";
        return;
    }
    const int64_t limit = paging.limit.getValue();
    if (limit < 1) return;
    const int64_t totalPages = paging.totalPages.getValue();
    int64_t covered = 0;
    // A product beyond the 64-bit range has the sign of totalPages (limit is
    // positive), so it is below total exactly when totalPages is negative.
    const bool overflow = __builtin_mul_overflow(limit, totalPages, &covered);
    const bool tooSmall = overflow ? totalPages < 0 : covered < paging.total.getValue();
    if (tooSmall) logger.logWarning() << "limit * totalPages is smaller than total in paging object";
}

bool PagingObject::isValid() const { return total.isValid() && totalPages.isValid() && limit.isValid(); }

bool PagingObject::isPagingEnabled() const { return isValid() && totalPages.getValue() > 1; }

std::string PagingObject::toString() const {
    std::ostringstream out;
    out << "offset=";
    writeField(out, offset);
    out << ", limit=";
    writeField(out, limit);
    out << ", total=";
    writeField(out, total);
    out << ", totalPages=";
    writeField(out, totalPages);
    out << ", offsetId=";
    writeField(out, offsetId);
    out << ", previous=";
    writeField(out, previous);
    out << ", next=";
    writeField(out, next);
    return out.str();
}

}  // namespace qel
