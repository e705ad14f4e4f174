#pragma once

// Umbrella header of libQelAccess.

// Resource model
#include <QelAccess/IXObject.h>
#include <QelAccess/PagingObject.h>
#include <QelAccess/QelException.h>
#include <QelAccess/QelFilter.h>
#include <QelAccess/QelResource.h>
#include <QelAccess/QelResourceDescriptor.h>
#include <QelAccess/QelResponse.h>
#include <QelAccess/QelService.h>
#include <QelAccess/QelServiceDescriptor.h>
#include <QelAccess/QueryOptions.h>
#include <QelAccess/ServiceRegistryService.h>
#include <QelAccess/ServiceRegistryServiceDescriptor.h>
#include <QelAccess/SubscriptionResponse.h>
#include <QelAccess/XObject.h>
#include <QelAccess/XObjectDescriptor.h>

// HTTP transport and accessor
#include <QelAccess/HttpAccess.h>
#include <QelAccess/HttpAccessFactory.h>
#include <QelAccess/ITpAccess.h>
#include <QelAccess/ITpAccessFactory.h>
#include <QelAccess/QelAccessor.h>

// WebSocket subscriptions
#include <QelAccess/DefaultWebsocketManager2.h>
#include <QelAccess/DefaultWebsocketManagerFactory.h>
#include <QelAccess/FibonacciConnectionBackoffSequence.h>
#include <QelAccess/IWebsocketManager.h>
#include <QelAccess/IWebsocketManagerFactory.h>
#include <QelAccess/InternalPocoWebsocket.h>
#include <QelAccess/KavoConnectionBackoffSequence.h>
#include <QelAccess/Subscription.h>
#include <QelAccess/SubscriptionCache.h>
#include <QelAccess/WebsocketWatchdog.h>

// Configuration and service discovery
#include <QelAccess/ConfigManager.h>
#include <QelAccess/IConfigManager.h>
#include <QelAccess/IServiceRegistry.h>
#include <QelAccess/QelServiceConfigurations.h>
#include <QelAccess/QelServiceRegistry.h>
#include <QelAccess/Service.h>
#include <QelAccess/ServiceRegistryClient.h>
#include <QelAccess/ServiceRegistryClientHandler.h>
#include <QelAccess/UntypedServiceListener.h>

// Element registry and client services
#include <QelAccess/ElementRegistry.h>
#include <QelAccess/ElementRegistryEntry.h>
#include <QelAccess/GenericXObject.h>
#include <QelAccess/QelClientServices.h>

// Logging facilities and version
#include <QelAccess/QelAccessLoggingClassifier.h>
#include <QelAccess/QelAccessVersion.h>
