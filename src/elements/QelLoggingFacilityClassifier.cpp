#include <QelAccess/QelAccessLoggingClassifier.h>

namespace qel {

const std::string QelAccessLoggingClassifier::FACILITY_QEL_ACCESS = "QelAccess";
const std::string QelAccessLoggingClassifier::SUB_FACILITY_HIGH = "HighLevel";
const std::string QelAccessLoggingClassifier::SUB_FACILITY_LOW = "LowLevel";
const std::string QelAccessLoggingClassifier::SUB_FACILITY_SERVICE_REGISTRY = "ServiceRegistry";
const std::string QelAccessLoggingClassifier::SUB_FACILITY_WEB_SOCKET_MANAGER = "WebSocketManager";

}  // namespace qel
