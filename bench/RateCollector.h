#pragma once

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace qelbench {

/// Console output as usual, plus the items/s and the CPU time per iteration
/// (of the benchmark's own thread) of every benchmark (the median when
/// repetitions are aggregated) so that a program can print ratios to its
/// baseline at the end.
class RateCollector : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal: a custom display reporter does not get the
    // --benchmark_color handling of the default one.
    RateCollector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            const auto rate = run.counters.find("items_per_second");
            if (rate == run.counters.end()) continue;
            const std::string name = run.run_name.function_name;
            if (median || !m_fromMedian[name]) {
                m_rates[name] = rate->second.value;
                m_cpuNs[name] = run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            }
            m_fromMedian[name] = m_fromMedian[name] || median;
        }
    }
    const std::map<std::string, double>& rates() const { return m_rates; }
    const std::map<std::string, double>& cpuNs() const { return m_cpuNs; }

    /// The figure of `name` in `figures`, 0 when it did not run.
    static double of(const std::map<std::string, double>& figures, const std::string& name) {
        const auto it = figures.find(name);
        return it == figures.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> m_rates;
    std::map<std::string, double> m_cpuNs;
    std::map<std::string, bool> m_fromMedian;
};

}  // namespace qelbench
