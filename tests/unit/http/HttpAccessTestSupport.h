#pragma once

#include <QelAccess/ConfigManager.h>

#include "support/ScriptedHttpPeer.h"

#include <exception>
#include <memory>
#include <string>

namespace qeltest {

/// The text of the exception `call` throws, or "" when it throws none.
template <typename Call>
std::string failureOf(Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

/// Services under "/api/" on the peer; "flat" has no separator after resources.
inline std::shared_ptr<qel::ConfigManager> makeConfig(const ScriptedHttpPeer& peer) {
    auto config = std::make_shared<qel::ConfigManager>();
    config->getDefaultConfig().serverBaseUri = peer.baseUri();
    config->getDefaultConfig().serverBasePath = std::string("/api/");
    qel::ConfigManager::ServiceConfig flat;
    flat.separatorAfterResource = false;
    config->getServiceConfigs()["flat"] = flat;
    return config;
}

}  // namespace qeltest
