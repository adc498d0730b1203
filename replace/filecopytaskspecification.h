#pragma once

#include "slowfileoptaskspecification.h"

#include <QString>

#include <functional>
#include <memory>
#include <span>

// Copies source to target, which must not exist yet, on a pool thread, and journals the created
// target.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& source,
                              const QString& target, QObject* parent, double parentProgressRange);

protected:
    [[nodiscard]] std::unique_ptr<ASyncFunc> createFunction() override;
};

class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString& source, const QString& target);

    [[nodiscard]] bool run() override;

    // Fills block with at most capacity bytes and returns their number: 0 at the regular end of
    // the data, -1 when reading failed or the data turned out to be bad.
    using BlockReader = std::function<qint64(char* block, qint64 capacity)>;

    // Creates the file target, which must not exist yet, from the blocks that read delivers
    // through buffer. Every write and the final close are checked (a full disk may show only
    // there). On any failure no target is left behind and false is returned; whatever was at
    // target before is never touched.
    [[nodiscard]] static bool writeNewFile(const QString& target, std::span<char> buffer,
                                           const BlockReader& read);
    // Streams source into the new file target through a fixed buffer.
    [[nodiscard]] static bool copyFile(const QString& source, const QString& target);
};
