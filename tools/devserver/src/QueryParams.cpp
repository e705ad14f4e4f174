#include "QueryParams.h"

#include "Reply.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace qeldev {

namespace {

constexpr std::size_t MAX_PARAMETERS = 64;
constexpr std::size_t MAX_LIST_ITEMS = 256;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<std::string> splitOn(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::vector<std::string> decodedList(const std::string& rawValue, const std::string& name) {
    const auto items = splitOn(rawValue, ',');
    if (items.size() > MAX_LIST_ITEMS) throw HttpError(400, "too many values for " + name);
    std::vector<std::string> decoded;
    for (const auto& item : items) decoded.push_back(decodeComponent(item));
    return decoded;
}

std::vector<std::string> nameList(const std::string& rawValue, const std::string& name) {
    auto names = decodedList(rawValue, name);
    if (std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.empty(); }))
        throw HttpError(400, "empty name in " + name);
    return names;
}

int64_t nonNegativeNumber(const std::string& text, const std::string& name) {
    const bool digitsOnly = !text.empty() && text.size() <= 18 &&
                            std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digitsOnly) throw HttpError(400, name + " must be a non-negative integer");
    return std::stoll(text);
}

bool isNumeric(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<SortKey> sortKeys(const std::string& rawValue) {
    std::vector<SortKey> keys;
    for (auto& item : nameList(rawValue, "$sortby")) {
        SortKey key;
        if (item.front() == '-' || item.front() == '+') {
            key.descending = item.front() == '-';
            item.erase(0, 1);
        }
        if (item.empty()) throw HttpError(400, "empty name in $sortby");
        key.field = item;
        keys.push_back(key);
    }
    return keys;
}

void checkExpand(const std::vector<std::string>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (isNumeric(items[i]) && (i + 1 != items.size() || items[i].size() != 1 || items[i] > "3"))
            throw HttpError(400, "$expand level must be the last item and 0 to 3");
    }
}

void applyReserved(QueryParams& params, const std::string& name, const std::string& rawValue) {
    if (name == "$fields") {
        params.fields = nameList(rawValue, name);
    } else if (name == "$expand") {
        params.expand = nameList(rawValue, name);
        checkExpand(params.expand);
    } else if (name == "$sortby") {
        params.sortBy = sortKeys(rawValue);
    } else if (name == "$limit") {
        params.limit = nonNegativeNumber(decodeComponent(rawValue), name);
    } else if (name == "$offset") {
        const auto value = decodeComponent(rawValue);
        params.offset.reset();
        params.offsetId.reset();
        if (value.empty()) throw HttpError(400, "$offset is empty");
        if (isNumeric(value)) {
            params.offset = nonNegativeNumber(value, name);
        } else if (value.front() == '-' && isNumeric(value.substr(1))) {
            throw HttpError(400, "$offset must not be negative");
        } else {
            params.offsetId = value;
        }
    } else {
        throw HttpError(400, "unknown query option " + name);
    }
}

void applyFilter(QueryParams& params, const std::string& name, const std::string& rawValue) {
    PropertyFilter filter{name, decodedList(rawValue, name)};
    auto existing = std::find_if(params.filters.begin(), params.filters.end(),
                                 [&](const PropertyFilter& f) { return f.name == name; });
    if (existing != params.filters.end()) {
        *existing = std::move(filter);
    } else {
        params.filters.push_back(std::move(filter));
    }
}

}  // namespace

std::string decodeComponent(const std::string& text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) throw HttpError(400, "broken percent escape");
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) throw HttpError(400, "broken percent escape");
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) throw HttpError(400, "control character in request");
        decoded.push_back(c);
    }
    return decoded;
}

QueryParams QueryParams::parse(const std::string& rawQuery, std::size_t maxBytes) {
    if (rawQuery.size() > maxBytes) throw HttpError(414, "query string too long");
    QueryParams params;
    if (rawQuery.empty()) return params;
    const auto items = splitOn(rawQuery, '&');
    if (items.size() > MAX_PARAMETERS) throw HttpError(400, "too many query parameters");
    for (const auto& item : items) {
        if (item.empty()) continue;
        const auto eq = item.find('=');
        const auto name = decodeComponent(item.substr(0, eq));
        const auto rawValue = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        if (name.empty()) throw HttpError(400, "query parameter without name");
        if (name.front() == '$') {
            applyReserved(params, name, rawValue);
        } else {
            applyFilter(params, name, rawValue);
        }
        if (name != "$limit" && name != "$offset") params.linkItems.push_back(item);
    }
    return params;
}

}  // namespace qeldev
