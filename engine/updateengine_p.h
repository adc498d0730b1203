#pragma once

#include "bannerimagefetch.h"
#include "runcontext.h"
#include "updateengine.h"

// What the tests read of an engine's state; not part of its interface.
struct UpdateEnginePrivateAccess
{
    // The mirror list of the current run; built anew by every initialize().
    [[nodiscard]] static Mirrors* mirrors(const UpdateEngine& engine)
    {
        return engine.mirrorList.get();
    }
    [[nodiscard]] static bool bannerDownloadInProgress(const UpdateEngine& engine)
    {
        return engine.bannerImage->isFetching();
    }
    // The session directory of the current run; empty before the first initialize().
    [[nodiscard]] static QString sessionDirectory(const UpdateEngine& engine)
    {
        return engine.runContext ? engine.runContext->session.directory() : QString();
    }
};
