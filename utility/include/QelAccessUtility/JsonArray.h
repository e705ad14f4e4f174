#pragma once

#include <QelAccessUtility/JsonException.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace qelutil {

class JsonObject;

/// A JSON array, with the same ownership rules as JsonObject. Index getters
/// check the bounds and the element type and throw JsonException naming the
/// index and the expected type. add* append a copy of the value.
class JsonArray {
public:
    using Shared = std::shared_ptr<JsonArray>;
    using SharedConst = std::shared_ptr<const JsonArray>;

    virtual ~JsonArray() = default;

    virtual std::size_t size() const = 0;

    virtual bool isNull(std::size_t index) const = 0;
    virtual bool isString(std::size_t index) const = 0;
    virtual bool isLong(std::size_t index) const = 0;
    virtual bool isULong(std::size_t index) const = 0;
    virtual bool isBool(std::size_t index) const = 0;
    virtual bool isDouble(std::size_t index) const = 0;
    virtual bool isObject(std::size_t index) const = 0;
    virtual bool isArray(std::size_t index) const = 0;

    virtual std::string getString(std::size_t index) const = 0;
    virtual int64_t getLong(std::size_t index) const = 0;
    virtual uint64_t getULong(std::size_t index) const = 0;
    virtual bool getBool(std::size_t index) const = 0;
    virtual double getDouble(std::size_t index) const = 0;
    virtual std::shared_ptr<JsonObject> getObject(std::size_t index) const = 0;
    virtual Shared getArray(std::size_t index) const = 0;

    virtual void addString(const std::string& value) = 0;
    virtual void addLong(int64_t value) = 0;
    virtual void addULong(uint64_t value) = 0;
    virtual void addBool(bool value) = 0;
    virtual void addDouble(double value) = 0;
    virtual void addNull() = 0;
    virtual void addObject(const JsonObject& value) = 0;
    virtual void addArray(const JsonArray& value) = 0;
    /// Appends a copy of every element of `other`, in order.
    virtual void addAll(const JsonArray& other) = 0;
    /// Removes the element at `index`; later elements move up.
    virtual void removeAt(std::size_t index) = 0;
    virtual void clear() = 0;

    /// Writes compact JSON text.
    virtual void writeTo(std::ostream& out) const = 0;
    std::string toString() const;

    /// A deep copy owning its own document.
    virtual Shared clone() const = 0;
};

}  // namespace qelutil
