#include "Target.h"

#include <QelAccess/QueryOptions.h>

#include <map>
#include <vector>

namespace qelcli {

namespace {

using qel::QueryOptions;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        items.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return items;
        start = end + 1;
    }
}

bool isUsableSegment(const std::string& segment) {
    if (segment.empty()) return false;
    for (unsigned char c : segment) {
        if (c <= 0x20 || c == 0x7F || c == '?' || c == '#') return false;
    }
    return true;
}

bool isNumber(const std::string& text) {
    return !text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos;
}

[[noreturn]] void usage(const std::string& message) {
    throw CliError(EXIT_USAGE, message);
}

void applyOffset(const std::string& offset, QueryOptions& options) {
    if (offset.empty()) return;
    if (isNumber(offset)) {
        options.setPagingOffset(static_cast<int64_t>(std::stoll(offset)));
    } else if (offset[0] != '-' && isUsableSegment(offset)) {
        options.setPagingOffsetUuid(offset);
    } else {
        usage("--offset must be a number or an element id: " + offset);
    }
}

void applySort(const std::vector<std::string>& sort, QueryOptions& options) {
    std::vector<QueryOptions::SortbyField> fields;
    for (const std::string& item : sort) {
        const bool descending = !item.empty() && item[0] == '-';
        const std::string name = !item.empty() && (item[0] == '-' || item[0] == '+') ? item.substr(1) : item;
        if (name.empty()) usage("--sort needs property names, e.g. --sort year,-rating");
        fields.emplace_back(descending ? QueryOptions::MINUS : QueryOptions::PLUS, name);
    }
    if (!fields.empty()) options.setSortbyFields(fields);
}


void applyExpand(const std::string& expand, QueryOptions& options) {
    if (expand.empty()) return;
    std::vector<std::string> fields = split(expand, ',');
    if (isNumber(fields.back())) {
        const long long level = std::stoll(fields.back());
        if (level > 3) usage("--expand level must be 0 to 3: " + expand);
        options.setExpandLevel(static_cast<QueryOptions::EXPAND_LEVEL>(level));
        fields.pop_back();
    }
    for (const std::string& field : fields) {
        if (field.empty()) usage("--expand has an empty name: " + expand);
    }
    options.setExpandFields(fields);
}

}  // namespace

Target parseTarget(const std::string& text, int minSegments, int maxSegments, const std::string& form) {
    const std::string path = !text.empty() && text[0] == '/' ? text.substr(1) : text;
    const std::vector<std::string> segments = split(path, '/');
    const int count = static_cast<int>(segments.size());
    if (count < minSegments || count > maxSegments) usage("expected " + form + ", got \"" + text + "\"");
    for (const std::string& segment : segments) {
        if (!isUsableSegment(segment)) usage("unusable name in \"" + text + "\" (expected " + form + ")");
    }
    Target target;
    target.service = segments[0];
    if (count > 1) target.resource = segments[1];
    if (count > 2) target.id = segments[2];
    return target;
}

void applyFilterItems(const std::vector<std::string>& items, qel::QelFilter& filter, const std::string& option) {
    // Several items for one name widen it to a list, like a comma list.
    std::map<std::string, std::vector<std::string>> values;
    for (const std::string& item : items) {
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == item.size())
            usage(option + " takes NAME=VALUE: " + item);
        for (const std::string& value : split(item.substr(equals + 1), ',')) {
            if (value.empty()) usage(option + " has an empty value: " + item);
            values[item.substr(0, equals)].push_back(value);
        }
    }
    for (const auto& entry : values) filter.add(entry.first, entry.second);
}

void applyReadShaping(const QueryArguments& query, qel::XObjectDescriptor& descriptor) {
    QueryOptions& options = descriptor.getQueryOptions();
    if (query.limit >= 0) options.setPagingLimit(query.limit);
    applyOffset(query.offset, options);
    applySort(query.sort, options);
    applyFilterItems(query.filters, descriptor.getQelFilter(), "--filter");
}

void applyFields(const QueryArguments& query, qel::XObjectDescriptor& descriptor) {
    QueryOptions& options = descriptor.getQueryOptions();
    for (const std::string& field : query.fields) {
        if (field.empty()) usage("--fields has an empty name");
    }
    if (!query.fields.empty()) options.setFieldsFilter(query.fields);
    applyExpand(query.expand, options);
}

}  // namespace qelcli
