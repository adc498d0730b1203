#pragma once

#include "slowfileoptaskspecification.h"

#include <QFileDevice>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <span>

// Copies source to target, which must not exist yet, on a pool thread, and journals the created
// target. With a mode, target gets it before it appears under its name. Allowed to move, it
// renames source to target when both lie on one file system, which is much cheaper than a copy
// and done at once, like the other fast file operations, without the trip to the pool; undoing
// that moves the file back, so that a later run still finds it at source.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    enum class Transfer { Copy, MoveWhenPossible };

    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& source,
                              const QString& target, QObject* parent, double parentProgressRange,
                              std::optional<QFileDevice::Permissions> mode = std::nullopt,
                              Transfer transfer = Transfer::Copy);

    void execute() override;

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
    [[nodiscard]] RollbackData doneRecord() const override;

private:
    const std::optional<QFileDevice::Permissions> mode;
    const Transfer transfer;
    bool moved = false;
};

class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString& source, const QString& target,
                 std::optional<QFileDevice::Permissions> mode = std::nullopt);

    [[nodiscard]] bool run() override;

    // Fills block with at most capacity bytes and returns their number: 0 at the regular end of
    // the data, -1 when reading failed or the data turned out to be bad.
    using BlockReader = std::function<qint64(char* block, qint64 capacity)>;

    // Creates the file target, which must not exist yet, from the blocks that read delivers
    // through buffer. The content goes to partFilePath(target) first and is renamed to target
    // once it is complete (and has mode, when one is given), so target never holds a part of
    // it, whenever the process ends. Every write and the final close are checked (a full disk
    // may show only there). On any failure no target and no part file is left behind and false
    // is returned; whatever was at target before is never touched.
    [[nodiscard]] static bool writeNewFile(const QString& target, std::span<char> buffer,
                                           const BlockReader& read,
                                           std::optional<QFileDevice::Permissions> mode = {});
    // Streams source into the new file target through a fixed buffer.
    [[nodiscard]] static bool copyFile(const QString& source, const QString& target,
                                       std::optional<QFileDevice::Permissions> mode = {});

    // Renames source to target, which must not exist, giving it mode first. False, with source
    // untouched but for its mode, when the two lie on different file systems or the rename fails.
    [[nodiscard]] static bool moveFile(const QString& source, const QString& target,
                                       std::optional<QFileDevice::Permissions> mode = {});

    // Where a new target is written before it gets its name: beside it, hidden.
    [[nodiscard]] static QString partFilePath(const QString& target);
    [[nodiscard]] static const QString& partFilePrefix();

private:
    const std::optional<QFileDevice::Permissions> mode;
};
