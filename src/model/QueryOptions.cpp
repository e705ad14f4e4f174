#include <QelAccess/QueryOptions.h>

#include <QelAccessUtility/URLEncoder.h>

namespace qel {

const std::map<QueryOptions::EXPAND_LEVEL, std::string> QueryOptions::EXPAND_LEVEL_2_STRING = {
    {LEVEL_ZERO, "0"}, {LEVEL_ONE, "1"}, {LEVEL_TWO, "2"}, {LEVEL_THREE, "3"}};

const std::map<QueryOptions::SORTBY_OPERATOR, std::string> QueryOptions::SORTBY_OPERATOR_2_STRING = {
    {PLUS, ""}, {MINUS, "-"}};

namespace {

std::string joinEncoded(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += ",";
        text += qelutil::URLEncoder::encode(names[i]);
    }
    return text;
}

// A level outside the enumeration (cast in by a caller) is written as its number.
std::string expandLevelText(QueryOptions::EXPAND_LEVEL level) {
    auto it = QueryOptions::EXPAND_LEVEL_2_STRING.find(level);
    return it != QueryOptions::EXPAND_LEVEL_2_STRING.end() ? it->second : std::to_string(static_cast<int>(level));
}

std::string sortOperatorText(QueryOptions::SORTBY_OPERATOR op) {
    auto it = QueryOptions::SORTBY_OPERATOR_2_STRING.find(op);
    return it != QueryOptions::SORTBY_OPERATOR_2_STRING.end() ? it->second : std::string();
}

void appendParameter(std::string& query, const std::string& parameter) {
    if (!query.empty()) query += "&";
    query += parameter;
}

}  // namespace

std::string QueryOptions::createQueryString() const {
    std::string query;
    if (!fieldsFilter.empty()) appendParameter(query, "$fields=" + joinEncoded(fieldsFilter));

    std::string expand;
    if (!expandfields.empty()) expand = "$expand=" + joinEncoded(expandfields);
    if (expandlevel != LEVEL_ZERO)
        expand += (expand.empty() ? "$expand=" : ",") + expandLevelText(expandlevel);
    if (!expand.empty()) appendParameter(query, expand);

    if (!sortbyFields.empty()) {
        std::string sortby = "$sortby=";
        for (std::size_t i = 0; i < sortbyFields.size(); ++i) {
            if (i > 0) sortby += ",";
            sortby += sortOperatorText(sortbyFields[i].first) + sortbyFields[i].second;
        }
        appendParameter(query, sortby);
    }

    if (pagingLimit) appendParameter(query, "$limit=" + std::to_string(*pagingLimit));
    if (pagingOffset)
        appendParameter(query, "$offset=" + std::to_string(*pagingOffset));
    else if (pagingOffsetUuid)
        appendParameter(query, "$offset=" + *pagingOffsetUuid);
    return query;
}

}  // namespace qel
