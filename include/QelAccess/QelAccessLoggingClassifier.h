#pragma once

#include <string>

namespace qel {

/// Names of the logging facility and sub-facilities of the library's loggers.
class QelAccessLoggingClassifier {
public:
    static const std::string FACILITY_QEL_ACCESS;
    static const std::string SUB_FACILITY_HIGH;
    static const std::string SUB_FACILITY_LOW;
    static const std::string SUB_FACILITY_SERVICE_REGISTRY;
    static const std::string SUB_FACILITY_WEB_SOCKET_MANAGER;
};

}  // namespace qel
