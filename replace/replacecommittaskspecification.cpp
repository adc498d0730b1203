#include "replacecommittaskspecification.h"

#include "filespecifications.h"
#include "filesystem.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

ReplaceCommitTaskSpecification::ReplaceCommitTaskSpecification(Step step, QStringList deletions,
                                                               InstallationLayout installation,
                                                               QObject* parent,
                                                               InstalledRelease installed,
                                                               InstalledRelease previous)
    : ASyncTaskSpecification(parent, 0.0)
    , step(step)
    , deletions(std::move(deletions))
    , installation(std::move(installation))
    , installed(std::move(installed))
    , previous(std::move(previous))
{}

std::unique_ptr<ASyncFunc> ReplaceCommitTaskSpecification::createFunction()
{
    return std::make_unique<ReplaceCommitFunc>(installation.root(), ReplaceJournal(installation),
                                               step, deletions, installed, previous);
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
                                     QStringList deletions, InstalledRelease installed,
                                     InstalledRelease previous)
    : applicationRoot(std::move(applicationRoot))
    , journal(std::move(journal))
    , step(step)
    , deletions(std::move(deletions))
    , installed(std::move(installed))
    , previous(std::move(previous))
{}

Failure ReplaceCommitFunc::run()
{
    if (step == Step::Discard) {
        // What is left of the journal after a failure here is repaired at the next start.
        journal.discardCommitted();
        return {};
    }
    if (ReplaceJournal::syncFileSystems({applicationRoot}) && (step != Step::Commit || commit()))
        return {};
    return {Failure::Kind::Disk, {}};
}

bool ReplaceCommitFunc::commit()
{
    if (!previous.isRecorded())
        return journal.recordCommit(deletions, installed);
    if (!journal.recordCommitOnProbation(deletions, installed, previous))
        return false;
    keepDeletedFiles();
    return true;
}

void ReplaceCommitFunc::keepDeletedFiles() const
{
    // A rename lost in a power cut leaves the file under its name: the end of the probation
    // deletes it there, a going back finds it in place. Backups are kept where they are.
    const InstallationLayout root(applicationRoot);
    for (const QString& path : deletions) {
        if (QFileInfo(path).fileName().startsWith(InstallationLayout::backupPrefix()))
            continue;
        const QString kept =
                FileReplaceSpecification::prefixedPath(path, InstallationLayout::backupPrefix());
        static_cast<void>(FileSystem::renameOver(root.filePath(path), root.filePath(kept)));
    }
}
