#pragma once

#include "asynctaskspecification.h"

#include <QString>
#include <QStringList>

// Ends the replacement: brings every installed file, the directories that name them and the
// session journal to the disk, and only then writes the journal's commit record with the
// deletions that are left. Before it, a start after a kill or a power cut undoes the run from
// the backups; after it, the backups may go.
class ReplaceCommitTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    ReplaceCommitTaskSpecification(QString sessionDirectory, QStringList deletions,
                                   QObject* parent);

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
    void runDone(bool ok) override;

private:
    const QString sessionDirectory;
    const QStringList deletions;
};

class ReplaceCommitFunc : public ASyncFunc
{
    Q_OBJECT

public:
    ReplaceCommitFunc(QString applicationRoot, QString sessionDirectory, QStringList deletions);

    [[nodiscard]] bool run() override;

    // Writes everything of the file systems holding the given paths to the disk: one call per
    // file system is far cheaper than one per file, and also covers the directories.
    [[nodiscard]] static bool syncFileSystems(const QStringList& paths);

private:
    const QString applicationRoot;
    const QString sessionDirectory;
    const QStringList deletions;
};
