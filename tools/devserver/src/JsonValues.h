#pragma once

#include <QelAccessUtility/JsonObject.h>

#include <string>

namespace qeldev {

/// Copies the member `key` of `from`, whatever its type, into `to`.
void copyMember(const qelutil::JsonObject& from, const std::string& key, qelutil::JsonObject& to);

/// Whether the member `key` of `object` equals the query value `value`.
/// Strings compare as text; booleans and null by their JSON words; numbers
/// numerically when `value` is a number, objects and arrays by compact text.
bool memberMatches(const qelutil::JsonObject& object, const std::string& key,
                   const std::string& value);

/// A member reduced to what ordering needs.
struct SortValue {
    enum Rank { NUMBER = 0, STRING = 1, BOOL = 2, NULL_VALUE = 3, OTHER = 4, MISSING = 5 };
    Rank rank = MISSING;
    long double number = 0;
    std::string text;
};

SortValue sortValueOf(const qelutil::JsonObject& object, const std::string& key);

/// Negative, zero or positive as `a` sorts before, with or after `b`;
/// values of different ranks order by rank.
int compareSortValues(const SortValue& a, const SortValue& b);

}  // namespace qeldev
