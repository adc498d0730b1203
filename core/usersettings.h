#pragma once

#include "installationlayout.h"

#include <QString>

// What "update.ini" says about the downloads: the proxy and how many files travel at once.
struct UserSettings
{
    static constexpr qint32 defaultStreams = 6;

    QString proxy;
    qint32 streams = defaultStreams;
    // "streams" was set: it then bounds the HTTP/2 streams too, which otherwise go as far as
    // each HTTP/2 mirror allows.
    bool streamsGiven = false;

    // From the "update" group of the installation's "update.ini"; a missing or unusable value
    // keeps its default.
    [[nodiscard]] static UserSettings read(const InstallationLayout& installation);
};
