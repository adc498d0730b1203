#include "replacecommittaskspecification.h"

#include "approot.h"

using namespace Qt::StringLiterals;

ReplaceCommitTaskSpecification::ReplaceCommitTaskSpecification(Step step, QStringList deletions,
                                                               QObject* parent)
    : ASyncTaskSpecification(parent, 0.0)
    , step(step)
    , deletions(std::move(deletions))
{}

std::unique_ptr<ASyncFunc> ReplaceCommitTaskSpecification::createFunction()
{
    return std::make_unique<ReplaceCommitFunc>(AppRoot::path(), ReplaceJournal(),
                                               step == Step::Commit ? std::optional(deletions)
                                                                    : std::nullopt);
}

void ReplaceCommitTaskSpecification::runDone(bool ok)
{
    if (!ok)
        emit message(u"Could not write the installed files and %1 to the disk"_s.arg(
                ReplaceJournal().path()));
    ASyncTaskSpecification::runDone(ok);
}

ReplaceCommitFunc::ReplaceCommitFunc(QString applicationRoot, ReplaceJournal journal,
                                     std::optional<QStringList> deletions)
    : applicationRoot(std::move(applicationRoot))
    , journal(std::move(journal))
    , deletions(std::move(deletions))
{}

bool ReplaceCommitFunc::run()
{
    return ReplaceJournal::syncFileSystems({applicationRoot}) &&
           (!deletions || journal.recordCommit(*deletions));
}
