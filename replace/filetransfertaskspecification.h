#pragma once

#include "slowfileoptaskspecification.h"

#include <QFileDevice>
#include <QString>

#include <memory>
#include <optional>

// Creates target from source on a pool thread: a copy, or the unpack of a gzip file, whose
// corrupt or truncated stream fails the task. With a mode, target gets it before it appears
// under its name. Allowed to move, it renames source to target when both lie on one file system,
// which is much cheaper than a copy and done at once, like the other fast file operations,
// without the trip to the pool; the journal's undo gives source the file back, so that a later
// run still finds it there. Allowed to link, it gives the file at source a second name at target
// where the file system can (which keeps the file's own mode), and copies otherwise.
class FileTransferTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    enum class Transfer { Copy, MoveWhenPossible, LinkWhenPossible, Unzip };

    FileTransferTaskSpecification(const QString& source, const QString& target, QObject* parent,
                                  double parentProgressRange,
                                  std::optional<QFileDevice::Permissions> mode = std::nullopt,
                                  Transfer transfer = Transfer::Copy,
                                  Placement placement = Placement::NewName);

    void execute() override;

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;

private:
    [[nodiscard]] bool transferAtOnce();

    const std::optional<QFileDevice::Permissions> mode;
    const Transfer transfer;
};
