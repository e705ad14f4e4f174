#include <QelAccess/QelFilter.h>

#include "model/SourceLocation.h"

#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/URLEncoder.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <stdexcept>

namespace qel {

namespace {

std::string formatLong(int64_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%" PRId64, value);
    return buffer;
}

std::string formatULong(uint64_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%" PRIu64, value);
    return buffer;
}

std::string formatDouble(double value) {
    // "%f" of the largest doubles needs over 300 characters.
    int length = std::snprintf(nullptr, 0, "%f", value);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, "%f", value);
    return text;
}

std::string formatBool(bool value) { return value ? "true" : "false"; }

template <typename T, typename Format>
std::string joinFormatted(const std::vector<T>& values, Format format) {
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text += ",";
        text += format(values[i]);
    }
    return text;
}

void requireName(const std::string& propertyName) {
    if (propertyName.empty()) throw std::runtime_error("propertyName is empty");
}

// The member rendered as text; the first type test that holds decides.
std::string renderMember(const qelutil::JsonObject& json, const std::string& name) {
    if (json.isLong(name)) return formatLong(json.getLong(name));
    if (json.isBool(name)) return formatBool(json.getBool(name));
    if (json.isDouble(name)) return formatDouble(json.getDouble(name));
    if (json.isString(name)) return json.getString(name);
    if (json.isULong(name)) return formatULong(json.getULong(name));
    return std::string();
}

void warnEmptyValue(const std::string& name) {
    auto factory = qelutil::LoggerFactory::getDefaultLoggerFactory();
    auto logger = factory ? factory->createLogger("QelFilter") : nullptr;
    if (logger && logger->isWarning())
        logger->write(qelutil::ILogger::WARNING, QEL_SOURCE_LOCATION + "propertyValue for " + name + " is empty");
}

}  // namespace

void QelFilter::store(const std::string& propertyName, const std::string& value, bool alreadyEncoded) {
    filterMap[propertyName] = value;
    auto it = std::find(valueAlreadyEncoded.begin(), valueAlreadyEncoded.end(), propertyName);
    if (alreadyEncoded && it == valueAlreadyEncoded.end()) valueAlreadyEncoded.push_back(propertyName);
    if (!alreadyEncoded && it != valueAlreadyEncoded.end()) valueAlreadyEncoded.erase(it);
}

void QelFilter::add(const std::string& propertyName, const std::string& propertyValue) {
    requireName(propertyName);
    store(propertyName, propertyValue, false);
}

void QelFilter::add(const std::string& propertyName, const char* propertyValue) {
    if (propertyName.empty() || propertyValue == nullptr)
        throw std::runtime_error("propertyName is empty or propertyValue is nullptr");
    store(propertyName, propertyValue, false);
}

void QelFilter::add(const std::string& propertyName, bool propertyValue) {
    requireName(propertyName);
    store(propertyName, formatBool(propertyValue), true);
}

void QelFilter::add(const std::string& propertyName, int propertyValue) {
    add(propertyName, static_cast<int64_t>(propertyValue));
}

void QelFilter::add(const std::string& propertyName, int64_t propertyValue) {
    requireName(propertyName);
    store(propertyName, formatLong(propertyValue), true);
}

void QelFilter::add(const std::string& propertyName, double propertyValue) {
    requireName(propertyName);
    store(propertyName, formatDouble(propertyValue), true);
}

void QelFilter::add(const std::string& propertyName, const std::vector<std::string>& propertyValues) {
    requireName(propertyName);
    store(propertyName, joinFormatted(propertyValues, qelutil::URLEncoder::encode), true);
}

void QelFilter::add(const std::string& propertyName, const std::vector<bool>& propertyValues) {
    requireName(propertyName);
    store(propertyName, joinFormatted(propertyValues, formatBool), true);
}

void QelFilter::add(const std::string& propertyName, const std::vector<int64_t>& propertyValues) {
    requireName(propertyName);
    store(propertyName, joinFormatted(propertyValues, formatLong), true);
}

void QelFilter::add(const std::string& propertyName, const std::vector<double>& propertyValues) {
    requireName(propertyName);
    store(propertyName, joinFormatted(propertyValues, formatDouble), true);
}

std::string QelFilter::createPropertySearchString() const {
    std::string text;
    for (const auto& [name, value] : filterMap) {
        if (value.empty()) {
            warnEmptyValue(name);
            continue;
        }
        bool encoded = std::find(valueAlreadyEncoded.begin(), valueAlreadyEncoded.end(), name) !=
                       valueAlreadyEncoded.end();
        text += qelutil::URLEncoder::encode(name) + "=" + (encoded ? value : qelutil::URLEncoder::encode(value)) + "&";
    }
    if (!text.empty()) text.pop_back();
    return text;
}

bool QelFilter::passesFilter(qelutil::JsonObject::SharedConst json) const {
    if (filterMap.empty()) return true;
    if (!json) return false;
    for (const auto& [name, value] : filterMap) {
        if (!json->has(name)) return false;
        if (renderMember(*json, name) != value) return false;
    }
    return true;
}

}  // namespace qel
