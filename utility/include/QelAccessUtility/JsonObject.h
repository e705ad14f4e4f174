#pragma once

#include <QelAccessUtility/JsonException.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace qelutil {

class JsonArray;

/// A JSON object. Instances come from JsonFactory::createJsonObject(), from a
/// parsed document, or from getObject() of another object or array; objects
/// taken out of a document share ownership of that document and are views
/// into it (no copy), so changes through them are visible in the document.
///
/// Every getter checks that the key is present and that the value has the
/// requested type, and throws JsonException naming the key and the expected
/// type otherwise. Type tests return false for an absent key.
///
/// Numbers: isLong() holds for integers that fit int64, isULong() for
/// non-negative integers that fit uint64 (both hold for small non-negative
/// integers), isDouble() for numbers written with a fraction or exponent.
/// getDouble() accepts any number.
///
/// Setters replace an existing member of the same key and otherwise append,
/// so members keep insertion order. setObject/setArray store a deep copy.
class JsonObject {
public:
    using Shared = std::shared_ptr<JsonObject>;
    using SharedConst = std::shared_ptr<const JsonObject>;

    virtual ~JsonObject() = default;

    virtual bool has(const std::string& key) const = 0;
    virtual bool isNull(const std::string& key) const = 0;
    virtual bool isString(const std::string& key) const = 0;
    virtual bool isLong(const std::string& key) const = 0;
    virtual bool isULong(const std::string& key) const = 0;
    virtual bool isBool(const std::string& key) const = 0;
    virtual bool isDouble(const std::string& key) const = 0;
    virtual bool isObject(const std::string& key) const = 0;
    virtual bool isArray(const std::string& key) const = 0;

    virtual std::string getString(const std::string& key) const = 0;
    virtual int64_t getLong(const std::string& key) const = 0;
    virtual uint64_t getULong(const std::string& key) const = 0;
    virtual bool getBool(const std::string& key) const = 0;
    virtual double getDouble(const std::string& key) const = 0;
    virtual std::shared_ptr<JsonArray> getArray(const std::string& key) const = 0;
    virtual Shared getObject(const std::string& key) const = 0;
    /// has() and getString() in one lookup: when the member exists, sets
    /// `value` to its text and returns true; otherwise returns false and
    /// leaves `value` alone. A member that is not a string throws as
    /// getString() does.
    virtual bool getStringIfPresent(const std::string& key, std::string& value) const;

    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void setLong(const std::string& key, int64_t value) = 0;
    virtual void setULong(const std::string& key, uint64_t value) = 0;
    virtual void setBool(const std::string& key, bool value) = 0;
    virtual void setDouble(const std::string& key, double value) = 0;
    virtual void setNull(const std::string& key) = 0;
    virtual void setObject(const std::string& key, const JsonObject& value) = 0;
    virtual void setArray(const std::string& key, const JsonArray& value) = 0;
    /// Removes the member; returns whether it was present.
    virtual bool remove(const std::string& key) = 0;

    /// Member names in document order.
    virtual std::vector<std::string> getKeys() const = 0;
    virtual std::size_t size() const = 0;

    /// Writes compact JSON text.
    virtual void writeTo(std::ostream& out) const = 0;
    std::string toString() const;

    /// A deep copy owning its own document.
    virtual Shared clone() const = 0;
};

}  // namespace qelutil
