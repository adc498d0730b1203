#pragma once

#include "slowfileoptaskspecification.h"

#include <QFileDevice>
#include <QString>

#include <optional>

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

    // Streams the content of source into the new file target (FileSystem::writeNewFile). A
    // failure, with no target of its own left behind, on any read, data or write error; a full
    // disk is named as such.
    [[nodiscard]] Failure run() override;

    // Renames source to target, giving it mode first; with NewName never over an existing
    // target. False, with source untouched but for its mode, when the two lie on different file
    // systems or the rename fails.
    [[nodiscard]] static bool moveFile(const QString& source, const QString& target,
                                       std::optional<QFileDevice::Permissions> mode = {},
                                       Placement placement = Placement::NewName);
    // Gives the plain file source the second name target, which must not exist. False where the
    // file system has no hard links or the two lie on different ones.
    [[nodiscard]] static bool linkFile(const QString& source, const QString& target);

private:
    const Content content;
    const std::optional<QFileDevice::Permissions> mode;
    const Placement placement;
};
