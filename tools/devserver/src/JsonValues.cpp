#include "JsonValues.h"

#include <QelAccessUtility/JsonArray.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace qeldev {

using qelutil::JsonObject;

void copyMember(const JsonObject& from, const std::string& key, JsonObject& to) {
    if (from.isString(key)) {
        to.setString(key, from.getString(key));
    } else if (from.isBool(key)) {
        to.setBool(key, from.getBool(key));
    } else if (from.isLong(key)) {
        to.setLong(key, from.getLong(key));
    } else if (from.isULong(key)) {
        to.setULong(key, from.getULong(key));
    } else if (from.isDouble(key)) {
        to.setDouble(key, from.getDouble(key));
    } else if (from.isObject(key)) {
        to.setObject(key, *from.getObject(key));
    } else if (from.isArray(key)) {
        to.setArray(key, *from.getArray(key));
    } else {
        to.setNull(key);
    }
}

namespace {

bool parseNumber(const std::string& text, long double& number) {
    if (text.empty() || text.size() > 64) return false;
    const char first = text.front();
    if (first != '-' && first != '+' && first != '.' && (first < '0' || first > '9')) return false;
    errno = 0;
    char* end = nullptr;
    number = std::strtold(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(number);
}

bool numberOf(const JsonObject& object, const std::string& key, long double& number) {
    if (object.isLong(key)) {
        number = static_cast<long double>(object.getLong(key));
    } else if (object.isULong(key)) {
        number = static_cast<long double>(object.getULong(key));
    } else if (object.isDouble(key)) {
        number = object.getDouble(key);
    } else {
        return false;
    }
    return true;
}

std::string compactText(const JsonObject& object, const std::string& key) {
    if (object.isObject(key)) return object.getObject(key)->toString();
    if (object.isArray(key)) return object.getArray(key)->toString();
    return {};
}

}  // namespace

bool memberMatches(const JsonObject& object, const std::string& key, const std::string& value) {
    if (!object.has(key)) return false;
    if (object.isString(key)) return object.getString(key) == value;
    if (object.isBool(key)) return value == (object.getBool(key) ? "true" : "false");
    if (object.isNull(key)) return value == "null";
    long double member = 0;
    if (numberOf(object, key, member)) {
        long double wanted = 0;
        return parseNumber(value, wanted) && wanted == member;
    }
    return compactText(object, key) == value;
}

SortValue sortValueOf(const JsonObject& object, const std::string& key) {
    SortValue value;
    if (!object.has(key)) return value;
    if (object.isString(key)) {
        value.rank = SortValue::STRING;
        value.text = object.getString(key);
    } else if (object.isBool(key)) {
        value.rank = SortValue::BOOL;
        value.number = object.getBool(key) ? 1 : 0;
    } else if (object.isNull(key)) {
        value.rank = SortValue::NULL_VALUE;
    } else if (numberOf(object, key, value.number)) {
        value.rank = SortValue::NUMBER;
    } else {
        value.rank = SortValue::OTHER;
        value.text = compactText(object, key);
    }
    return value;
}

int compareSortValues(const SortValue& a, const SortValue& b) {
    if (a.rank != b.rank) return a.rank < b.rank ? -1 : 1;
    if (a.number != b.number) return a.number < b.number ? -1 : 1;
    return a.text.compare(b.text);
}

}  // namespace qeldev
