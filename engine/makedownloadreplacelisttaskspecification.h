#pragma once

#include "asynctaskspecification.h"

#include <QList>
#include <QMetaType>
#include <QString>

#include <memory>

class Configuration;
class QSettings;

// One file to fetch from a mirror into the temporary directory, where it is stored under
// fileName. Its URL is the mirror's base, sourceDir and fileName joined by "/".
struct FileDownloadSpecification
{
    QString sourceDir;
    QString fileName;
    QString md5;     // hex digest of the file as stored on the mirror
    qint64 size = 0; // bytes of the file as stored on the mirror

    friend bool operator==(const FileDownloadSpecification&,
                           const FileDownloadSpecification&) = default;
};

// One file to install into the application root from the temporary directory. With an
// unpackedName the downloaded file is gzip-compressed and installed unpacked under that name.
struct FileReplaceSpecification
{
    QString sourceDir;
    QString fileName;
    QString unpackedMd5;
    qint64 unpackedSize = 0;
    QString unpackedName;

    [[nodiscard]] bool hasUnzip() const { return !unpackedName.isEmpty(); }
    // The installed path, relative to the application root.
    [[nodiscard]] QString pureDestFilePath() const;
    // The installed path with prefix put in front of its last component.
    [[nodiscard]] QString destFileName(const QString& prefix) const;
    // Where the installed file is kept while it is replaced.
    [[nodiscard]] QString oldDestFileName() const;

    friend bool operator==(const FileReplaceSpecification&,
                           const FileReplaceSpecification&) = default;
};

// What one update has to do: the lists that the pipeline stages hand to each other.
struct FileSpecifications
{
    QList<FileDownloadSpecification> downloadList;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList; // relative to the application root

    void clear();

    friend bool operator==(const FileSpecifications&, const FileSpecifications&) = default;
};

Q_DECLARE_METATYPE(FileSpecifications)

// Compares the verified product ini with the installed files and with what an earlier run left
// in the temporary directory, on a pool thread, and fills the three lists of the update. The
// lists given at construction change only when the building succeeded, on the GUI thread.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    // configuration and fileLists are not owned and must outlive the task.
    MakeDownloadReplaceListTaskSpecification(Configuration* configuration,
                                             FileSpecifications& fileLists, QObject* parent,
                                             double parentProgressRange);

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
    void runDone(bool res) override;

private slots:
    void onListsBuilt(FileSpecifications lists);

private:
    Configuration* configuration;
    FileSpecifications* fileLists;
    FileSpecifications workingLists;
};

// The body of the list building. It works on copies of the configuration's names and paths and
// hands its lists over through listsBuilt, never into a task object.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    MakeDownloadReplaceListFunc(const QString& clientType, const QString& tempDir,
                                const QString& appRootPath);

    [[nodiscard]] bool run() override;

    // The number of keys in all groups of the settings: the entries of a product ini.
    [[nodiscard]] static int getFileCount(QSettings& settings);

signals:
    // The finished lists, emitted once just before a successful result.
    void listsBuilt(FileSpecifications lists);

private:
    [[nodiscard]] bool addDeleteSection(const QStringList& keys);
    [[nodiscard]] bool addFileSection(QSettings& ini, const QString& section,
                                      const QStringList& keys);
    [[nodiscard]] bool addFileEntry(const QString& section, const QString& key,
                                    const QStringList& fields);
    [[nodiscard]] bool rejectLine(const QString& section);
    void advance();

    const QString clientType;
    const QString tempDir;
    const QString appRootPath;
    FileSpecifications fileLists;
    int entryCount = 0;
    int entriesDone = 0;
};
