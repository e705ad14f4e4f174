#pragma once

#include <QelAccessUtility/JsonFactory.h>

#include <functional>
#include <stdexcept>
#include <string>

namespace qeltest {

/// The what() of the std::runtime_error that `f` throws, or "no exception".
inline std::string runtimeErrorText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

/// A JSON object parsed from `text` (which must hold one).
inline qelutil::JsonObject::Shared json(const std::string& text) { return qelutil::JsonFactory::parseObject(text); }

}  // namespace qeltest
