#pragma once

#include "releasetoolscanner.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

// What the updater is told about one file through the product ini, and the manifest beside it.
struct ReleaseToolDigest
{
    QByteArray md5;    // lower-case hex
    QByteArray sha256; // lower-case hex
    qint64 size = 0;
};

// One file of the release: where it comes from, where the mirror and the updater's temporary
// directory hold it (section and key) and where the updater installs it.
struct ReleaseToolEntry
{
    QString sourcePath;
    QString installedPath; // relative to the application root
    QString section;
    QString key; // the installed path, with ".gz" appended when compressed
    bool compressed = false;
    bool executable = false;    // installed as a program, as the client directory has it
    ReleaseToolDigest stored;   // the file as it lies on the mirror
    ReleaseToolDigest unpacked; // the installed file, for a compressed one
};

// Decides how the files of a client version are laid out on the mirrors: each top-level folder
// becomes a section of its own, top-level files go to the section "base"; which files are
// compressed; and which files of the previous version the updater deletes. Refuses names and
// combinations that updaters could not install.
class ReleaseToolManifest
{
public:
    static constexpr QStringView topLevelSection = u"base";
    static constexpr QStringView changelogName = u"changelog_client.txt";

    // Files whose name (or "/"-containing relative path) matches one of the wildcard patterns,
    // or whose size is at least compressMinSize (when that is not negative), are compressed.
    ReleaseToolManifest(QString clientType, const QStringList& compressPatterns,
                        qint64 compressMinSize);

    [[nodiscard]] bool addFiles(const QList<ReleaseToolSourceFile>& files);
    // The installed paths of the previous version; those the new one lacks are deleted, except
    // the updater's own program and settings.
    [[nodiscard]] bool setPreviousPaths(const QStringList& previousPaths);

    [[nodiscard]] QList<ReleaseToolEntry>& entries() { return releaseEntries; }
    [[nodiscard]] const QList<ReleaseToolEntry>& entries() const { return releaseEntries; }
    [[nodiscard]] const QStringList& deletes() const { return deletedPaths; }
    [[nodiscard]] const QStringList& warnings() const { return warningLines; }
    [[nodiscard]] const QString& errorString() const { return error; }

private:
    [[nodiscard]] QString sectionFor(const QString& installedPath) const;
    [[nodiscard]] bool shouldCompress(const ReleaseToolSourceFile& file) const;
    [[nodiscard]] bool checkEntry(const ReleaseToolEntry& entry);
    [[nodiscard]] bool checkCompressedNames();
    [[nodiscard]] bool fail(const QString& text);

    QString clientType;
    QList<QRegularExpression> namePatterns;
    QList<QRegularExpression> pathPatterns;
    qint64 compressMinSize;
    QList<ReleaseToolEntry> releaseEntries;
    QStringList deletedPaths;
    QStringList warningLines;
    QString error;
};
