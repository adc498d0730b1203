#pragma once

#include "filespecifications.h"
#include "installationlayout.h"
#include "releasemanifest.h"
#include "sessionlayout.h"

#include <QString>
#include <QStringList>

#include <functional>

class QFileInfo;
class QSettings;

// The installed release a run goes back from, such as a withdrawn version: its product ini as
// checked into the session and its checked manifest.
struct NewerRelease
{
    QString productIniPath;
    ReleaseManifest manifest;
};

// Reads a verified product ini and compares it with the installed files and with what an earlier
// run left in the temporary directory: a file whose installed copy is current is skipped, one
// whose download is already there is only replaced. Fills the three lists of the update. Blocking
// (it hashes files); the list-building task runs it on a pool thread, the release tool checks its
// own product inis with it.
class ProductIniReader
{
public:
    using MessageSink = std::function<void(const QString& message)>;
    using ProgressSink = std::function<void(qreal fraction)>;

    ProductIniReader(QString clientType, SessionLayout session, InstallationLayout installation);

    // Where the log lines and the fraction of entries done go; both may be left unset.
    void setMessageSink(MessageSink sink) { emitMessage = std::move(sink); }
    void setProgressSink(ProgressSink sink) { emitProgress = std::move(sink); }

    // Reads "<clientType>.ini" of the session. lists changes only when the whole ini was read.
    [[nodiscard]] bool read(FileSpecifications& lists);
    // A checked release manifest of the same release: every file then carries its SHA-256
    // digests, and the installed and downloaded copies are compared by those. Must outlive the
    // reading.
    void setManifest(const ReleaseManifest* checkedManifest) { manifest = checkedManifest; }
    // The installed release this one goes back from, so that the reading ends on exactly this
    // release's tree: what only that release installs goes on the delete list where it is as
    // that release installed it; a file changed since stays, with a log line, and so do the
    // updater's own files and settings. Must outlive the reading.
    void setNewerRelease(const NewerRelease* release) { newer = release; }

    // The number of keys in all groups of the settings: the entries of a product ini.
    [[nodiscard]] static int getFileCount(QSettings& settings);

private:
    // One line of the product ini, parsed: a file to install, or one to delete.
    struct Entry
    {
        bool valid = true;
        QString deletion; // relative to the application root; empty for a file to install
        FileDownloadSpecification download;
        FileReplaceSpecification replace;
        // For a deletion of what only the newer release installs: the content it gave the file,
        // which it must still have to go.
        QByteArray pulledBackSha256 = {};
    };
    // Changed: a file only the newer release installs that is not as it installed it.
    enum class Outcome { Pending, Current, Replace, DownloadAndReplace, Delete, Changed };
    struct Comparison
    {
        Outcome outcome = Outcome::Pending;
        // With a manifest, the digest of the installed copy, when there is one: what a patch
        // must start from.
        QByteArray installedSha256 = {};
        // A patch result of an earlier run that did not match, and whether it could be removed.
        QString rejected = {};
        bool rejectedRemoved = false;
        // The installed copy is current but lacks the execute bit the release gives it.
        bool notExecutable = false;
    };

    [[nodiscard]] bool parseSection(QSettings& ini, const QString& section);
    [[nodiscard]] static Entry parseFileEntry(const QString& section, const QString& key,
                                              const QStringList& fields);
    // Decides every entry against the installed and downloaded files, in parallel, and then
    // fills the lists in the order of the entries.
    void compareWithInstallation();
    [[nodiscard]] Comparison compare(const Entry& entry) const;
    [[nodiscard]] Comparison compareBySha256(const Entry& entry, const QString& installed,
                                             const QString& downloaded) const;
    // Whether the file a patch made for a packed entry in an earlier run is there and right. The
    // replacement installs such a file ahead of the download, so one that is not right (stale,
    // or cut short by a power cut) is removed, and noted in comparison.
    [[nodiscard]] bool keepsPatchResult(const Entry& entry, Comparison& comparison) const;
    void take(const Entry& entry, const Comparison& comparison);
    // The manifest's patch for the entry's file from the installed copy, if it has one.
    [[nodiscard]] FilePatchSpecification patchFor(const Entry& entry,
                                                  const QByteArray& installedSha256) const;
    // why: what is wrong with the line, when more than its form.
    [[nodiscard]] bool rejectLine(const QString& section, const QString& why = {});
    // Gives every file entry its digests from the manifest; false when one is not listed there
    // as the ini lists it.
    [[nodiscard]] bool takeSha256Digests();
    // Adds a deletion for every file the newer release installs and this one does not; false
    // when the newer release's ini and manifest do not agree.
    [[nodiscard]] bool addPullBackEntries();
    // The file entries of the newer release's product ini with their digests from its manifest.
    [[nodiscard]] bool readNewerFiles(QList<Entry>& files) const;
    [[nodiscard]] Comparison comparePulledBack(const Entry& entry) const;
    [[nodiscard]] bool liesBelowRoot(const QFileInfo& file) const;
    void advance();
    void advanceTo(qsizetype entriesCompared);
    void report(const QString& message) const;

    const QString clientType;
    const SessionLayout session;
    const InstallationLayout installation;
    const ReleaseManifest* manifest = nullptr;
    const NewerRelease* newer = nullptr;
    MessageSink emitMessage;
    ProgressSink emitProgress;
    FileSpecifications fileLists;
    QList<Entry> entries;
    int entryCount = 0;
    int entriesDone = 0;
    // A rejected patch result that could not be removed would be installed: the list is refused.
    bool rejectedFileLeft = false;
};
