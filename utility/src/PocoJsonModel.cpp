#include "PocoJsonModel.h"

#include <QelAccessUtility/JsonEscape.h>

#include "JsonSupport.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/ParseHandler.h>
#include <Poco/JSON/Parser.h>

#include <charconv>
#include <cmath>
#include <limits>

namespace qelutil {

namespace {

using namespace jsonsupport;
using Poco::Dynamic::Var;
using PocoObject = Poco::JSON::Object;
using PocoArray = Poco::JSON::Array;
using IsType = bool (*)(const Var&);

// Numbers are held as Int64, UInt64 (integers above the Int64 range) or
// double, as Poco's parser produces them; the setters store the same types.
bool isSigned(const Var& value) { return value.type() == typeid(Poco::Int64); }
bool isUnsigned(const Var& value) { return value.type() == typeid(Poco::UInt64); }

bool varIsNull(const Var& value) { return value.isEmpty(); }
bool varIsString(const Var& value) { return value.type() == typeid(std::string); }
bool varIsBool(const Var& value) { return value.type() == typeid(bool); }
bool varIsDouble(const Var& value) { return value.type() == typeid(double); }
bool varIsNumber(const Var& value) { return isSigned(value) || isUnsigned(value) || varIsDouble(value); }
bool varIsObject(const Var& value) { return value.type() == typeid(PocoObject::Ptr); }
bool varIsArray(const Var& value) { return value.type() == typeid(PocoArray::Ptr); }

bool varIsLong(const Var& value) {
    return isSigned(value) ||
           (isUnsigned(value) && value.extract<Poco::UInt64>() <= Poco::UInt64(std::numeric_limits<int64_t>::max()));
}

bool varIsULong(const Var& value) {
    return isUnsigned(value) || (isSigned(value) && value.extract<Poco::Int64>() >= 0);
}

int64_t toLong(const Var& value) {
    return isSigned(value) ? value.extract<Poco::Int64>() : static_cast<int64_t>(value.extract<Poco::UInt64>());
}

uint64_t toULong(const Var& value) {
    return isUnsigned(value) ? value.extract<Poco::UInt64>() : static_cast<uint64_t>(value.extract<Poco::Int64>());
}

double toDouble(const Var& value) {
    if (varIsDouble(value)) return value.extract<double>();
    return isSigned(value) ? static_cast<double>(value.extract<Poco::Int64>())
                           : static_cast<double>(value.extract<Poco::UInt64>());
}

PocoObject::Ptr newObject() { return new PocoObject(Poco::JSON_PRESERVE_KEY_ORDER); }
PocoArray::Ptr newArray() { return new PocoArray(); }

PocoObject::Ptr copyObject(const PocoObject& source);
PocoArray::Ptr copyArray(const PocoArray& source);

Var copyValue(const Var& value) {
    if (varIsObject(value)) return copyObject(*value.extract<PocoObject::Ptr>());
    if (varIsArray(value)) return copyArray(*value.extract<PocoArray::Ptr>());
    return value;
}

PocoObject::Ptr copyObject(const PocoObject& source) {
    PocoObject::Ptr copy = newObject();
    for (const std::string& key : source.getNames()) copy->set(key, copyValue(source.get(key)));
    return copy;
}

PocoArray::Ptr copyArray(const PocoArray& source) {
    PocoArray::Ptr copy = newArray();
    for (const Var& element : source) copy->add(copyValue(element));
    return copy;
}

// --- compact JSON text, escaped as the RapidJSON writer does ---

void appendValue(std::string& out, const Var& value);

void appendString(std::string& out, const std::string& text) { JsonEscape::appendQuoted(out, text); }

template <typename Number>
void appendNumber(std::string& out, Number number) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, result.ptr);
}

// Non-finite numbers have no JSON form; an integral double keeps a fraction
// so that it reads back as a double.
void appendDouble(std::string& out, double number) {
    if (!std::isfinite(number)) {
        out += "null";
        return;
    }
    const std::size_t start = out.size();
    appendNumber(out, number);
    if (out.find_first_of(".e", start) == std::string::npos) out += ".0";
}

void appendObject(std::string& out, const PocoObject& object) {
    out += '{';
    bool first = true;
    for (const std::string& key : object.getNames()) {
        if (!first) out += ',';
        first = false;
        appendString(out, key);
        out += ':';
        appendValue(out, object.get(key));
    }
    out += '}';
}

void appendArray(std::string& out, const PocoArray& array) {
    out += '[';
    bool first = true;
    for (const Var& element : array) {
        if (!first) out += ',';
        first = false;
        appendValue(out, element);
    }
    out += ']';
}

void appendValue(std::string& out, const Var& value) {
    if (varIsNull(value)) {
        out += "null";
    } else if (varIsBool(value)) {
        out += value.extract<bool>() ? "true" : "false";
    } else if (varIsString(value)) {
        appendString(out, value.extract<std::string>());
    } else if (isSigned(value)) {
        appendNumber(out, value.extract<Poco::Int64>());
    } else if (isUnsigned(value)) {
        appendNumber(out, value.extract<Poco::UInt64>());
    } else if (varIsDouble(value)) {
        appendDouble(out, value.extract<double>());
    } else if (varIsObject(value)) {
        appendObject(out, *value.extract<PocoObject::Ptr>());
    } else if (varIsArray(value)) {
        appendArray(out, *value.extract<PocoArray::Ptr>());
    } else {
        throw JsonException(std::string("JSON value of unsupported type ") + value.type().name());
    }
}

void writeText(std::ostream& out, const Var& value) {
    std::string text;
    appendValue(text, value);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// --- object and array views: Poco's own shared objects, so no copies ---

class PocoJsonObject final : public JsonObject {
public:
    explicit PocoJsonObject(PocoObject::Ptr object) : m_object(std::move(object)) {}

    const PocoObject::Ptr& object() const { return m_object; }

    bool has(const std::string& key) const override { return m_object->has(key); }
    bool isNull(const std::string& key) const override { return test(key, varIsNull); }
    bool isString(const std::string& key) const override { return test(key, varIsString); }
    bool isLong(const std::string& key) const override { return test(key, varIsLong); }
    bool isULong(const std::string& key) const override { return test(key, varIsULong); }
    bool isBool(const std::string& key) const override { return test(key, varIsBool); }
    bool isDouble(const std::string& key) const override { return test(key, varIsDouble); }
    bool isObject(const std::string& key) const override { return test(key, varIsObject); }
    bool isArray(const std::string& key) const override { return test(key, varIsArray); }

    std::string getString(const std::string& key) const override {
        return member(key, varIsString, A_STRING).extract<std::string>();
    }
    int64_t getLong(const std::string& key) const override { return toLong(member(key, varIsLong, A_LONG)); }
    uint64_t getULong(const std::string& key) const override { return toULong(member(key, varIsULong, A_ULONG)); }
    bool getBool(const std::string& key) const override { return member(key, varIsBool, A_BOOL).extract<bool>(); }
    double getDouble(const std::string& key) const override { return toDouble(member(key, varIsNumber, A_NUMBER)); }
    std::shared_ptr<JsonArray> getArray(const std::string& key) const override;
    Shared getObject(const std::string& key) const override;

    void setString(const std::string& key, const std::string& value) override { m_object->set(key, value); }
    void setLong(const std::string& key, int64_t value) override { m_object->set(key, Poco::Int64(value)); }
    void setULong(const std::string& key, uint64_t value) override { m_object->set(key, Poco::UInt64(value)); }
    void setBool(const std::string& key, bool value) override { m_object->set(key, value); }
    void setDouble(const std::string& key, double value) override { m_object->set(key, value); }
    void setNull(const std::string& key) override { m_object->set(key, Var()); }
    void setObject(const std::string& key, const JsonObject& value) override;
    void setArray(const std::string& key, const JsonArray& value) override;

    bool remove(const std::string& key) override {
        if (!m_object->has(key)) return false;
        m_object->remove(key);
        return true;
    }

    std::vector<std::string> getKeys() const override { return m_object->getNames(); }
    std::size_t size() const override { return m_object->size(); }
    void writeTo(std::ostream& out) const override { writeText(out, m_object); }
    Shared clone() const override { return std::make_shared<PocoJsonObject>(copyObject(*m_object)); }

private:
    bool test(const std::string& key, IsType isType) const { return m_object->has(key) && isType(m_object->get(key)); }

    Var member(const std::string& key, IsType isType, const char* expected) const {
        if (!m_object->has(key)) throwMissing(key);
        Var value = m_object->get(key);
        if (!isType(value)) throwMemberType(key, expected);
        return value;
    }

    PocoObject::Ptr m_object;
};

class PocoJsonArray final : public JsonArray {
public:
    explicit PocoJsonArray(PocoArray::Ptr array) : m_array(std::move(array)) {}

    const PocoArray::Ptr& array() const { return m_array; }

    std::size_t size() const override { return m_array->size(); }

    bool isNull(std::size_t index) const override { return test(index, varIsNull); }
    bool isString(std::size_t index) const override { return test(index, varIsString); }
    bool isLong(std::size_t index) const override { return test(index, varIsLong); }
    bool isULong(std::size_t index) const override { return test(index, varIsULong); }
    bool isBool(std::size_t index) const override { return test(index, varIsBool); }
    bool isDouble(std::size_t index) const override { return test(index, varIsDouble); }
    bool isObject(std::size_t index) const override { return test(index, varIsObject); }
    bool isArray(std::size_t index) const override { return test(index, varIsArray); }

    std::string getString(std::size_t index) const override {
        return element(index, varIsString, A_STRING).extract<std::string>();
    }
    int64_t getLong(std::size_t index) const override { return toLong(element(index, varIsLong, A_LONG)); }
    uint64_t getULong(std::size_t index) const override { return toULong(element(index, varIsULong, A_ULONG)); }
    bool getBool(std::size_t index) const override { return element(index, varIsBool, A_BOOL).extract<bool>(); }
    double getDouble(std::size_t index) const override { return toDouble(element(index, varIsNumber, A_NUMBER)); }
    std::shared_ptr<JsonObject> getObject(std::size_t index) const override {
        return std::make_shared<PocoJsonObject>(element(index, varIsObject, AN_OBJECT).extract<PocoObject::Ptr>());
    }
    Shared getArray(std::size_t index) const override {
        return std::make_shared<PocoJsonArray>(element(index, varIsArray, AN_ARRAY).extract<PocoArray::Ptr>());
    }

    void addString(const std::string& value) override { m_array->add(value); }
    void addLong(int64_t value) override { m_array->add(Poco::Int64(value)); }
    void addULong(uint64_t value) override { m_array->add(Poco::UInt64(value)); }
    void addBool(bool value) override { m_array->add(value); }
    void addDouble(double value) override { m_array->add(value); }
    void addNull() override { m_array->add(Var()); }
    void addObject(const JsonObject& value) override;
    void addArray(const JsonArray& value) override;
    void addAll(const JsonArray& other) override;

    void removeAt(std::size_t index) override {
        checkIndex(index);
        m_array->remove(static_cast<unsigned>(index));
    }

    void clear() override { m_array->clear(); }
    void writeTo(std::ostream& out) const override { writeText(out, m_array); }
    Shared clone() const override { return std::make_shared<PocoJsonArray>(copyArray(*m_array)); }

private:
    void checkIndex(std::size_t index) const {
        if (index >= m_array->size()) throwOutOfRange(index, m_array->size());
    }

    bool test(std::size_t index, IsType isType) const { return index < m_array->size() && isType(at(index)); }

    const Var& at(std::size_t index) const { return *(m_array->begin() + static_cast<std::ptrdiff_t>(index)); }

    const Var& element(std::size_t index, IsType isType, const char* expected) const {
        checkIndex(index);
        const Var& value = at(index);
        if (!isType(value)) throwElementType(index, expected);
        return value;
    }

    PocoArray::Ptr m_array;
};

// A value of this implementation is copied directly; one of the other
// implementation is rebuilt through the common interface.
PocoObject::Ptr copyOf(const JsonObject& source) {
    if (const auto* same = dynamic_cast<const PocoJsonObject*>(&source)) return copyObject(*same->object());
    PocoJsonObject copy(newObject());
    copyMembers(source, copy);
    return copy.object();
}

PocoArray::Ptr copyOf(const JsonArray& source) {
    if (const auto* same = dynamic_cast<const PocoJsonArray*>(&source)) return copyArray(*same->array());
    PocoJsonArray copy(newArray());
    copyElements(source, copy);
    return copy.array();
}

std::shared_ptr<JsonArray> PocoJsonObject::getArray(const std::string& key) const {
    return std::make_shared<PocoJsonArray>(member(key, varIsArray, AN_ARRAY).extract<PocoArray::Ptr>());
}

JsonObject::Shared PocoJsonObject::getObject(const std::string& key) const {
    return std::make_shared<PocoJsonObject>(member(key, varIsObject, AN_OBJECT).extract<PocoObject::Ptr>());
}

void PocoJsonObject::setObject(const std::string& key, const JsonObject& value) { m_object->set(key, copyOf(value)); }

void PocoJsonObject::setArray(const std::string& key, const JsonArray& value) { m_object->set(key, copyOf(value)); }

void PocoJsonArray::addObject(const JsonObject& value) { m_array->add(copyOf(value)); }

void PocoJsonArray::addArray(const JsonArray& value) { m_array->add(copyOf(value)); }

void PocoJsonArray::addAll(const JsonArray& other) {
    const PocoArray::Ptr copy = copyOf(other);  // first: `other` may be this array
    for (const Var& element : *copy) m_array->add(element);
}

// --- parsing ---

class PocoJsonDocument final : public JsonDocument {
public:
    explicit PocoJsonDocument(Var root) : m_root(std::move(root)) {}

    bool isRootObject() const override { return varIsObject(m_root); }
    bool isRootArray() const override { return varIsArray(m_root); }

    JsonObject::Shared getRootObject() const override {
        if (!isRootObject()) throw JsonException("JSON root is not an object");
        return std::make_shared<PocoJsonObject>(m_root.extract<PocoObject::Ptr>());
    }

    JsonArray::Shared getRootArray() const override {
        if (!isRootArray()) throw JsonException("JSON root is not an array");
        return std::make_shared<PocoJsonArray>(m_root.extract<PocoArray::Ptr>());
    }

private:
    Var m_root;
};

// Poco's parser does not report where it failed, so its errors carry the
// reason only.
class PocoJsonParser final : public JsonParser {
public:
    JsonDocument::Shared parse(const std::string& text) override {
        checkText(text.data(), text.size());
        return parseChecked(text);
    }

    JsonDocument::Shared parse(const char* text, std::size_t length) override {
        checkText(text, length);
        return parseChecked(std::string(text, length));
    }

private:
    static JsonDocument::Shared parseChecked(const std::string& text) {
        Poco::JSON::Parser parser(new Poco::JSON::ParseHandler(true));
        parser.setDepth(MAX_DEPTH);
        try {
            return std::make_shared<PocoJsonDocument>(parser.parse(text));
        } catch (const Poco::Exception& e) {
            throw JsonException("JSON parse error: " + e.message());
        }
    }
};

}  // namespace

JsonObject::Shared createPocoJsonObject() { return std::make_shared<PocoJsonObject>(newObject()); }

JsonArray::Shared createPocoJsonArray() { return std::make_shared<PocoJsonArray>(newArray()); }

// The parser keeps no state between parses, so one instance serves all.
JsonParser::Shared createPocoJsonParser() {
    static const JsonParser::Shared parser = std::make_shared<PocoJsonParser>();
    return parser;
}

}  // namespace qelutil
