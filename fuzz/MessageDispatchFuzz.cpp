// One decoded message routed to the subscriptions: envelope members of the
// wrong type, unknown events, error notices, paging objects.
#include "ReceivePathDriver.h"

#include <QelAccessUtility/JsonException.h>
#include <QelAccessUtility/JsonFactory.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static qel::ReceivePathDriver driver;
    qelutil::JsonObject::Shared message;
    try {
        message = qelutil::JsonFactory::parseObject(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const qelutil::JsonException&) {
        return 0;
    }
    driver.dispatch(message);
    return 0;
}
