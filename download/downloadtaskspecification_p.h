#pragma once

#include "downloadtaskspecification.h"

// What the tests read of a download's state; not part of its interface.
struct DownloadTaskSpecificationPrivateAccess
{
    [[nodiscard]] static bool isWaitingForSlot(const DownloadTaskSpecification& task)
    {
        return bool(task.slotWait);
    }
    [[nodiscard]] static bool isTransferring(const DownloadTaskSpecification& task)
    {
        return task.reply != nullptr;
    }
};
