#pragma once

#include "replacejournal.h"

// What the tests change of the journal's work; not part of its interface.
struct ReplaceJournalPrivateAccess
{
    // While set, every sync of the file systems fails (EIO), as on a failing disk; the journal's
    // own appends still reach it.
    static void setSyncsFail(bool fail) { ReplaceJournal::syncsFail = fail; }
    // The record of a going back, as a going back killed right after it leaves the journal.
    [[nodiscard]] static bool recordGoingBack(ReplaceJournal& journal, const QString& reason)
    {
        return journal.write({{ReplaceJournal::Kind::GoingBack, reason, {}}}, false);
    }
};
