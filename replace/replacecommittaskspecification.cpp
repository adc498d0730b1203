#include "replacecommittaskspecification.h"

using namespace Qt::StringLiterals;

ReplaceCommitTaskSpecification::ReplaceCommitTaskSpecification(Step step, QStringList deletions,
                                                               InstallationLayout installation,
                                                               QObject* parent,
                                                               InstalledRelease installed)
    : ASyncTaskSpecification(parent, 0.0)
    , step(step)
    , deletions(std::move(deletions))
    , installation(std::move(installation))
    , installed(std::move(installed))
{}

std::unique_ptr<ASyncFunc> ReplaceCommitTaskSpecification::createFunction()
{
    return std::make_unique<ReplaceCommitFunc>(installation.root(), ReplaceJournal(installation),
                                               step, deletions, installed);
}

void ReplaceCommitTaskSpecification::runDone(const Failure& failure)
{
    if (!failure.failed() || state() != Running) {
        ASyncTaskSpecification::runDone(failure);
        return;
    }
    const QString text = u"Could not write the installed files and %1 to the disk"_s.arg(
            ReplaceJournal(installation).path());
    emit message(text);
    ASyncTaskSpecification::runDone({failure.kind, text});
}

ReplaceCommitFunc::ReplaceCommitFunc(QString applicationRoot, ReplaceJournal journal, Step step,
                                     QStringList deletions, InstalledRelease installed)
    : applicationRoot(std::move(applicationRoot))
    , journal(std::move(journal))
    , step(step)
    , deletions(std::move(deletions))
    , installed(std::move(installed))
{}

Failure ReplaceCommitFunc::run()
{
    if (step == Step::Discard) {
        // What is left of the journal after a failure here is repaired at the next start.
        journal.discardCommitted();
        return {};
    }
    if (ReplaceJournal::syncFileSystems({applicationRoot}) &&
        (step != Step::Commit || journal.recordCommit(deletions, installed)))
        return {};
    return {Failure::Kind::Disk, {}};
}
