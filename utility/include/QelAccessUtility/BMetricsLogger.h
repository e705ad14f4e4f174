#pragma once

#include <string>

namespace qelutil {

/// Start-up timing markers, written through a logger of their own (facility
/// "BMetrics", info level, from the default logger factory) with the time in
/// microseconds.
class BMetricsLogger {
public:
    static void logRawBootmarker(const std::string& text);
};

}  // namespace qelutil
