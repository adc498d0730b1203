#pragma once

#include "slowfileoptaskspecification.h"

#include <QFileDevice>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <span>

// Copies source to target on a pool thread. With a mode, target gets it before it appears under
// its name. Allowed to move, it renames source to target when both lie on one file system, which
// is much cheaper than a copy and done at once, like the other fast file operations, without the
// trip to the pool; the journal's undo gives source the file back, so that a later run still
// finds it there. Allowed to link, it gives the file at source a second name at target where the
// file system can (which keeps the file's own mode), and copies otherwise.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    enum class Transfer { Copy, MoveWhenPossible, LinkWhenPossible };

    FileCopyTaskSpecification(const QString& source, const QString& target, QObject* parent,
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

class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    using Placement = SlowFileOpSpecification::Placement;

    FileCopyFunc(const QString& source, const QString& target,
                 std::optional<QFileDevice::Permissions> mode = std::nullopt,
                 Placement placement = Placement::NewName);

    [[nodiscard]] bool run() override;

    // Fills block with at most capacity bytes and returns their number: 0 at the regular end of
    // the data, -1 when reading failed or the data turned out to be bad.
    using BlockReader = std::function<qint64(char* block, qint64 capacity)>;

    // Creates the file target from the blocks that read delivers through buffer. The content
    // goes to partFilePath(target) first and is renamed to target once it is complete (and has
    // mode, when one is given), so target never holds a part of it, whenever the process ends.
    // With NewName the rename refuses an existing target; with OverExisting it replaces it in
    // one step. Every write and the final close are checked (a full disk may show only there).
    // On any failure no part file is left behind, false is returned and whatever was at target
    // before is untouched.
    [[nodiscard]] static bool writeNewFile(const QString& target, std::span<char> buffer,
                                           const BlockReader& read,
                                           std::optional<QFileDevice::Permissions> mode = {},
                                           Placement placement = Placement::NewName);
    // Streams source into the new file target through a fixed buffer.
    [[nodiscard]] static bool copyFile(const QString& source, const QString& target,
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
    const std::optional<QFileDevice::Permissions> mode;
    const Placement placement;
};
