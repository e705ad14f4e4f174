#pragma once

#include <cmath>
#include <cstdio>
#include <string>

namespace qelbench {

/// One row of the summary table that scripts/run-benchmarks prints after
/// all programs have run: a line starting with "SUMMARY|", the fields
/// separated by '|'. A figure whose baseline or own run is missing (value
/// not finite, or a ratio that is not positive) is reported as not measured.
struct SummaryRow {
    std::string figure;
    std::string baseline;
    double ratio = NAN;
    bool atMost = false;  // the target is an upper bound, not a lower one
    double target = 0;
    std::string unit = "x";  // "x" for a ratio; otherwise the ratio column holds a value in this unit
};

inline void printSummary(const SummaryRow& row) {
    const bool measured = std::isfinite(row.ratio) && (row.unit != "x" || row.ratio > 0);
    const bool met = measured && (row.atMost ? row.ratio <= row.target : row.ratio >= row.target);
    char ratio[32] = "n/a";
    if (measured) std::snprintf(ratio, sizeof ratio, row.unit == "x" ? "%.2f" : "%.1f %s", row.ratio, row.unit.c_str());
    char target[48];
    if (row.unit == "x")
        std::snprintf(target, sizeof target, "%s %.2f", row.atMost ? "<=" : ">=", row.target);
    else
        std::snprintf(target, sizeof target, "%s %.1f %s", row.atMost ? "<=" : ">=", row.target, row.unit.c_str());
    std::printf("SUMMARY|%s|%s|%s|%s|%s\n", row.figure.c_str(), row.baseline.c_str(), ratio, target,
                measured ? (met ? "met" : "MISSED") : "not measured");
}

/// Ratio of two rates, NaN when either is missing.
inline double ratioOf(double value, double baseline) {
    return value > 0 && baseline > 0 ? value / baseline : NAN;
}

}  // namespace qelbench
