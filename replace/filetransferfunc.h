#pragma once

#include "slowfileoptaskspecification.h"

#include <QFileDevice>
#include <QString>

#include <functional>
#include <optional>
#include <span>

// The body of a file transfer: it writes the new file target from the content of source, read
// block by block as it is or unpacked from gzip, and holds the file system steps around that.
class FileTransferFunc : public SlowFileOpFunc
{
public:
    using Placement = SlowFileOpSpecification::Placement;
    // How the content is read from source. Gzip reads input that is not gzip at all unchanged
    // (zlib does so transparently); the checksum check that follows an unpack decides about it.
    enum class Content { Plain, Gzip };

    FileTransferFunc(const QString& source, const QString& target, Content content,
                     std::optional<QFileDevice::Permissions> mode = std::nullopt,
                     Placement placement = Placement::NewName);

    // Streams the content of source into the new file target. A failure, with no target of its
    // own left behind, on any read, data or write error; a full disk is named as such.
    [[nodiscard]] Failure run() override;

    // Fills block with at most capacity bytes and returns their number: 0 at the regular end of
    // the data, -1 when reading failed or the data turned out to be bad.
    using BlockReader = std::function<qint64(char* block, qint64 capacity)>;

    // Creates the file target from the blocks that read delivers through buffer. The content
    // goes to partFilePath(target) first and is renamed to target once it is complete (and has
    // mode, when one is given), so target never holds a part of it, whenever the process ends.
    // With NewName the rename refuses an existing target; with OverExisting it replaces it in
    // one step. Every write and the final close are checked (a full disk may show only there).
    // On any failure no part file is left behind, false is returned with errno saying why, and
    // whatever was at target before is untouched.
    [[nodiscard]] static bool writeNewFile(const QString& target, std::span<char> buffer,
                                           const BlockReader& read,
                                           std::optional<QFileDevice::Permissions> mode = {},
                                           Placement placement = Placement::NewName);

    // Renames source to target, giving it mode first; with NewName never over an existing
    // target. False, with source untouched but for its mode, when the two lie on different file
    // systems or the rename fails.
    [[nodiscard]] static bool moveFile(const QString& source, const QString& target,
                                       std::optional<QFileDevice::Permissions> mode = {},
                                       Placement placement = Placement::NewName);
    // Gives the plain file source the second name target, which must not exist. False where the
    // file system has no hard links or the two lie on different ones.
    [[nodiscard]] static bool linkFile(const QString& source, const QString& target);

    // Where a new target is written before it gets its name: beside it, hidden.
    [[nodiscard]] static QString partFilePath(const QString& target);
    [[nodiscard]] static const QString& partFilePrefix();

private:
    const Content content;
    const std::optional<QFileDevice::Permissions> mode;
    const Placement placement;
};
