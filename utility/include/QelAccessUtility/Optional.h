#pragma once

#include <stdexcept>
#include <type_traits>
#include <utility>

namespace qelutil {

/// A value or nothing. Reading an empty Optional throws std::runtime_error
/// with a text naming the operation that was misused.
template <typename T>
class Optional {
public:
    Optional() = default;
    Optional(const T& value) : m_valid(true), m_value(value) {}
    Optional(T&& value) : m_valid(true), m_value(std::move(value)) {}

    bool isValid() const { return m_valid; }
    explicit operator bool() const { return m_valid; }

    const T& getValue() const {
        if (!m_valid) throw std::runtime_error("getValue called on uninitialized Optional");
        return m_value;
    }
    T& getValue() {
        if (!m_valid) throw std::runtime_error("getValue called on uninitialized Optional");
        return m_value;
    }
    /// The value, or `fallback` when nothing is held.
    T getValueOr(const T& fallback) const { return m_valid ? m_value : fallback; }

    const T& operator*() const {
        if (!m_valid) throw std::runtime_error("operator* called on uninitialized Optional");
        return m_value;
    }
    T& operator*() {
        if (!m_valid) throw std::runtime_error("operator* called on uninitialized Optional");
        return m_value;
    }
    const T* operator->() const {
        if (!m_valid) throw std::runtime_error("operator-> called on uninitialized Optional");
        return &m_value;
    }
    T* operator->() {
        if (!m_valid) throw std::runtime_error("operator-> called on uninitialized Optional");
        return &m_value;
    }

    void setValue(const T& value) {
        m_value = value;
        m_valid = true;
    }
    void setValue(T&& value) {
        m_value = std::move(value);
        m_valid = true;
    }
    Optional& operator=(const T& value) {
        setValue(value);
        return *this;
    }
    Optional& operator=(T&& value) {
        setValue(std::move(value));
        return *this;
    }
    /// Drops the value; the Optional is empty afterwards.
    void reset() {
        m_value = T();
        m_valid = false;
    }

    /// Equal when both are empty, or both hold equal values.
    friend bool operator==(const Optional& a, const Optional& b) {
        if (a.m_valid != b.m_valid) return false;
        return !a.m_valid || a.m_value == b.m_value;
    }
    friend bool operator!=(const Optional& a, const Optional& b) { return !(a == b); }

private:
    bool m_valid = false;
    T m_value{};
};

}  // namespace qelutil
