#pragma once

#include "installationlayout.h"

#include <QString>

#include <chrono>

// What "update.ini" says about the downloads (the proxy and how many files travel at once) and
// how long a new version's first start is watched.
struct UserSettings
{
    static constexpr qint32 defaultStreams = 6;

    QString proxy;
    qint32 streams = defaultStreams;
    // "streams" was set: it then bounds the HTTP/2 streams too, which otherwise go as far as
    // each HTTP/2 mirror allows.
    bool streamsGiven = false;
    // How long the first start of a newly installed version is watched before it counts as
    // good; 0 starts the client unwatched, and the version before is not kept.
    static constexpr std::chrono::seconds defaultProbation{30};
    std::chrono::seconds probation = defaultProbation;

    // From the "update" group of the installation's "update.ini"; a missing or unusable value
    // keeps its default.
    [[nodiscard]] static UserSettings read(const InstallationLayout& installation);
};
