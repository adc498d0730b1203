#pragma once

#include "asynctaskspecification.h"
#include "installationlayout.h"
#include "installedrelease.h"
#include "replacejournal.h"

#include <QString>
#include <QStringList>

#include <optional>

// Brings every installed file, the directories that name them and the journal to the disk. To
// commit, it then writes the journal's commit record with the deletions that are left and the
// release the run installs: before it, a start after a kill or a power cut undoes the run from the
// backups; after it, the backups may go and that release is the installed one. Without the commit
// it only marks a point up to which everything is on the disk. After the deletions, Discard brings
// them to the disk and then removes a committed journal. A commit on probation from a previous
// release keeps the files the run deletes under their backup names, and the journal stays.
class ReplaceCommitTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    enum class Step { Sync, Commit, Discard };

    // The files, directories and journal of installation.
    ReplaceCommitTaskSpecification(Step step, QStringList deletions,
                                   InstallationLayout installation, QObject* parent,
                                   InstalledRelease installed = {}, InstalledRelease previous = {});

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
    void runDone(const Failure& failure) override;

private:
    const Step step;
    const QStringList deletions;
    const InstallationLayout installation;
    const InstalledRelease installed;
    const InstalledRelease previous;
};

class ReplaceCommitFunc : public ASyncAction
{
public:
    using Step = ReplaceCommitTaskSpecification::Step;

    ReplaceCommitFunc(QString applicationRoot, ReplaceJournal journal, Step step,
                      QStringList deletions, InstalledRelease installed = {},
                      InstalledRelease previous = {});

    [[nodiscard]] Failure run() override;

private:
    const QString applicationRoot;
    ReplaceJournal journal;
    const Step step;
    const QStringList deletions;
    const InstalledRelease installed;
    const InstalledRelease previous;

    [[nodiscard]] bool commit();
    void keepDeletedFiles() const;
};
