#pragma once

#include "slowfileoptaskspecification.h"

#include <QFileDevice>
#include <QString>

#include <memory>
#include <optional>

// Unpacks a gzip file into target on a pool thread (as a new name, or over the file there in one
// rename). A corrupt or truncated stream fails the task and leaves
// no target behind. With a mode, target gets it before it appears under its name.
class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnzipTaskSpecification(const QString& source, const QString& target, QObject* parent,
                               double parentProgressRange,
                               std::optional<QFileDevice::Permissions> mode = std::nullopt,
                               Placement placement = Placement::NewName);

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;

private:
    const std::optional<QFileDevice::Permissions> mode;
};

class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    using Placement = SlowFileOpSpecification::Placement;

    FileUnzipFunc(const QString& source, const QString& target,
                  std::optional<QFileDevice::Permissions> mode = std::nullopt,
                  Placement placement = Placement::NewName);

    [[nodiscard]] bool run() override;

    // Streams the unpacked content of source into the new file target, 16 KB at a time. Input
    // that is not gzip at all is copied unchanged (zlib reads it transparently); the checksum
    // check that follows an unpack decides about such a file. False, with no target left
    // behind, on any read, data or write error. Note the order: output first.
    [[nodiscard]] static bool unzipFile(const QString& target, const QString& source,
                                        std::optional<QFileDevice::Permissions> mode = {},
                                        Placement placement = Placement::NewName);

private:
    const std::optional<QFileDevice::Permissions> mode;
    const Placement placement;
};
