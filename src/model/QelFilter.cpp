#include <QelAccess/QelFilter.h>

#include "model/SourceLocation.h"

#include <QelAccessUtility/LoggerFactory.h>
#include <QelAccessUtility/URLEncoder.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
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

QelFilter::Entry* QelFilter::Entries::find(const std::string& name) {
    for (std::size_t i = 0; i < count; ++i)
        if (first[i].name == name) return &first[i];
    for (Entry& entry : more)
        if (entry.name == name) return &entry;
    return nullptr;
}

QelFilter::Entry& QelFilter::Entries::append(const std::string& name) {
    // The caller sets the value and the flag of the entry it gets.
    Entry& entry = count < INLINE ? first[count++] : more.emplace_back();
    entry.name = name;
    return entry;
}

QelFilter::QelFilter(const QelFilter& other) : entries(other.entries) {}

// The map, when built, stays with its filter: references to it must not
// start to show another filter's entries.
QelFilter::QelFilter(QelFilter&& other) noexcept : entries(std::move(other.entries)) {
    other.entries.clear();
    if (FilterMap* map = other.filterMap.load(std::memory_order_relaxed)) map->clear();
}

QelFilter& QelFilter::operator=(const QelFilter& other) {
    if (this == &other) return *this;
    entries = other.entries;
    if (FilterMap* map = filterMap.load(std::memory_order_relaxed)) fillFilterMap(*map);
    return *this;
}

QelFilter& QelFilter::operator=(QelFilter&& other) {
    if (this == &other) return *this;
    entries = std::move(other.entries);
    other.entries.clear();
    if (FilterMap* map = other.filterMap.load(std::memory_order_relaxed)) map->clear();
    if (FilterMap* map = filterMap.load(std::memory_order_relaxed)) fillFilterMap(*map);
    return *this;
}

QelFilter::~QelFilter() { delete filterMap.load(); }

const std::map<std::string, std::string>& QelFilter::getFilterMap() const {
    FilterMap* published = filterMap.load(std::memory_order_acquire);
    if (published) return *published;
    auto built = std::make_unique<FilterMap>();
    fillFilterMap(*built);
    if (filterMap.compare_exchange_strong(published, built.get(), std::memory_order_acq_rel)) return *built.release();
    return *published;  // another thread published the same map first
}

// Filled in place, so that references handed out before stay valid.
void QelFilter::fillFilterMap(FilterMap& map) const {
    map.clear();
    for (std::size_t i = 0; i < entries.size(); ++i) map.emplace(entries[i].name, entries[i].value);
}

std::vector<const QelFilter::Entry*> QelFilter::entriesByName() const {
    std::vector<const Entry*> sorted;
    sorted.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) sorted.push_back(&entries[i]);
    std::sort(sorted.begin(), sorted.end(), [](const Entry* a, const Entry* b) { return a->name < b->name; });
    return sorted;
}

void QelFilter::store(const std::string& propertyName, std::string value, bool alreadyEncoded) {
    Entry* entry = entries.find(propertyName);
    if (!entry) entry = &entries.append(propertyName);
    entry->alreadyEncoded = alreadyEncoded;
    if (FilterMap* map = filterMap.load(std::memory_order_relaxed)) (*map)[propertyName] = value;
    entry->value = std::move(value);
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
    for (const Entry* entry : entriesByName()) {
        if (entry->value.empty()) {
            warnEmptyValue(entry->name);
            continue;
        }
        text += qelutil::URLEncoder::encode(entry->name) + "=" +
                (entry->alreadyEncoded ? entry->value : qelutil::URLEncoder::encode(entry->value)) + "&";
    }
    if (!text.empty()) text.pop_back();
    return text;
}

bool QelFilter::passesFilter(qelutil::JsonObject::SharedConst json) const {
    if (entries.empty()) return true;
    if (!json) return false;
    // Every entry must match, so the order of the tests does not change the outcome.
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!json->has(entries[i].name)) return false;
        if (renderMember(*json, entries[i].name) != entries[i].value) return false;
    }
    return true;
}

}  // namespace qel
