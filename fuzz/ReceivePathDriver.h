#pragma once

// Drives a WebSocket manager's receive path from memory: the frame decoder
// with its read buffer, and the routing of decoded messages to the
// callbacks of an element, a resource, a service and a root subscription.

#include "FuzzSupport.h"

#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/SubscriptionCache.h>
#include <QelAccessUtility/JsonArray.h>
#include <QelAccessUtility/JsonObject.h>

#include "websocket/ReceiveState.h"

#include <cstring>
#include <vector>

namespace qel {

class ReceivePathDriver {
public:
    static constexpr std::size_t kMaxMessageSize = 1 << 20;

    ReceivePathDriver() {
        IConfigManager::ServiceConfiguration configuration;
        configuration.serviceName = "media";
        configuration.serverBaseUri = "http://127.0.0.1:9";
        configuration.serverBasePath = "/api/";
        configuration.separatorAfterResource = "/";
        m_manager = std::make_shared<DefaultWebsocketManager2>(configuration, "fuzz",
                                                               std::make_shared<qelfuzz::InlineExecutor>(),
                                                               qelfuzz::quietLoggers());
        auto element = [this](qelutil::JsonObject::Shared data) { m_delivered += data ? data->size() : 0; };
        auto array = [this](qelutil::JsonArray::Shared data, std::shared_ptr<const SubscriptionResponse>) {
            m_delivered += data ? data->size() : 0;
        };
        m_manager->mapCallbacksElement["/api/media/tracks/t1"] = element;
        m_manager->mapCallbacksResource["/api/media/tracks"] = array;
        m_manager->mapCallbacksService["/api/media"] = array;
        m_manager->mapCallbacksRoot["/api/"] = array;
    }

    /// Feeds `data` as the bytes of one connection, in reads whose sizes
    /// follow from the first byte; stops where the connection would end.
    void feedFrames(const uint8_t* data, std::size_t size) {
        if (size == 0) return;
        const std::size_t step = 1 + data[0] % 64;
        std::vector<char> bytes(data + 1, data + size);
        DefaultWebsocketManager2::ReceiveState state(nullptr, 1000, kMaxMessageSize);
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            const std::size_t length = std::min(step, bytes.size() - at);
            const bool goesOn = m_manager->decodeFrames(state, bytes.data() + at, length);
            m_manager->flushDeliveries();
            if (!goesOn) break;
        }
    }

    void dispatch(const qelutil::JsonObject::Shared& message) {
        m_manager->dispatchMessage(message);
        m_manager->flushDeliveries();
    }

private:
    std::shared_ptr<DefaultWebsocketManager2> m_manager;
    std::size_t m_delivered = 0;
};

}  // namespace qel
