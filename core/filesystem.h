// The file-system calls that decide what a kill or a power cut leaves of the update's files.
#pragma once

#include "failure.h"

#include <QFileDevice>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <span>

// Every rename, hard link, removal and sync of the update, and the writing of a new file beside
// its name. The rules the journal and the patch apply build on: a directory entry (a rename, a
// link, a removal) changes in one step, so a kill never leaves neither name, but it reaches the
// disk only with a sync of its directory or file system; a file's bytes reach the disk only with
// a data sync or a file-system sync, and until then a power cut may leave a name on bytes that
// were lost. So a name that marks a file complete is given only once its bytes are synced, or
// under a journal record that a repair undoes.
//
// A failure is of kind Disk, names the paths and says the system's reason; errno still holds that
// reason when the function returns, for callers that decide on it.
class FileSystem
{
public:
    // Whether a rename may take a name that something holds already.
    enum class Existing { Refuse, Replace };

    using BlockReader = std::function<qint64(char* block, qint64 capacity)>;

    FileSystem() = delete;

    // True when anything is at path, a dangling symbolic link included.
    [[nodiscard]] static bool pathTaken(const QString& path);
    // Whether the two paths name one file; neither is followed if it is a link.
    [[nodiscard]] static bool sameFile(const QString& a, const QString& b);

    // Renames from to to, over whatever file to names, in one step. On return the change is in
    // memory only; a power cut before its directory is synced leaves the names as they were
    // before it or after it, never to missing.
    [[nodiscard]] static Failure renameOver(const QString& from, const QString& to);
    // As renameOver, but refuses (EEXIST) when anything is at to, also what appeared there after
    // a check; the same holds for a power cut.
    [[nodiscard]] static Failure renameToNew(const QString& from, const QString& to);
    // Swaps the names of a and b in one step; EINVAL where the file system cannot. In memory
    // only on return; a power cut before their directory is synced leaves them swapped or not.
    [[nodiscard]] static Failure exchange(const QString& a, const QString& b);
    // Gives the file at source the second name target, which must not exist. In memory only on
    // return; a power cut before the directory of target is synced may leave the one name only.
    [[nodiscard]] static Failure link(const QString& source, const QString& target);
    // Removes the name path (a link itself, not what it points to); nothing there counts as
    // removed. In memory only on return; a power cut before its directory is synced may bring the
    // name back, with the file it named.
    [[nodiscard]] static Failure removeFile(const QString& path);

    // Brings the written bytes of the file at path to the disk and waits; its name is not
    // included. Once it returns they survive a power cut; one before may leave the file shorter,
    // or with zeros where the new bytes were.
    [[nodiscard]] static Failure syncFileData(const QString& path);
    // The same through an open file.
    [[nodiscard]] static Failure syncFileData(QFileDevice& file);
    // Brings the entries of the directory at path (names made, renamed or removed in it) to the
    // disk and waits. A power cut before may undo any of those changes, each one whole.
    [[nodiscard]] static Failure syncDirectory(const QString& path);
    // Brings everything of the file systems that hold paths to the disk, bytes and entries of
    // every file, and waits: one call per file system is far cheaper than one per file. A power
    // cut before may lose any change made since the last sync, bytes partly, entries whole.
    [[nodiscard]] static Failure syncFileSystems(const QStringList& paths);
    // Starts writing length bytes from offset of an open file to the disk (0: to its end), without
    // waiting, so that a later sync finds little left to do. Only a hint: it promises nothing.
    static void startWriteBack(QFileDevice& file, qint64 offset = 0, qint64 length = 0);

    // Where a new target is written before it gets its name: beside it, hidden.
    [[nodiscard]] static QString partFilePath(const QString& target);
    // Creates the file target from the blocks that read delivers through buffer (0 at the end of
    // the data, -1 when it failed). The content goes to partFilePath(target) and is renamed to
    // target once it is complete (and has mode, when one is given), so target never holds a part
    // of it, whenever the process ends. Every write and the close are checked (a full disk may
    // show only there). Not synced: a power cut may leave target on lost bytes until the file
    // system is synced. A failure leaves no part file and whatever was at target; a full disk is
    // named as such.
    [[nodiscard]] static Failure writeNewFile(const QString& target, std::span<char> buffer,
                                              const BlockReader& read,
                                              std::optional<QFileDevice::Permissions> mode = {},
                                              Existing existing = Existing::Refuse);
    // Gives the complete file part the name target: its bytes to the disk first, then one rename
    // over whatever is at target. A power cut at any moment leaves target as it was or the whole
    // new file, never a name on lost bytes. A failure removes part.
    [[nodiscard]] static Failure placeSynced(const QString& part, const QString& target);
};
