#pragma once

#include "configuration.h"

// What the tests change of a configuration: where the version query goes, which is the real
// update server otherwise. Not part of its interface.
struct ConfigurationPrivateAccess
{
    static void setUpdateServer(Configuration& configuration, const QString& host, quint16 port,
                                std::chrono::milliseconds receiveTimeout)
    {
        configuration.updateServerHost = host;
        configuration.updateServerPort = port;
        configuration.updateServerTimeout = receiveTimeout;
    }
};
