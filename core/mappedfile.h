#pragma once

#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <initializer_list>

// A whole file mapped into memory, for reading or, at a size given up front, for writing. The
// pages belong to the file, not to the program's own memory, so a large file costs only what the
// kernel keeps of it in its page cache. An empty file maps to an empty view.
class MappedFile
{
public:
    explicit MappedFile(const QString& path);

    // Opens and maps the file for reading. False with errorString() set when it cannot.
    [[nodiscard]] bool openForReading();
    // Opens and maps each; false with error set to the first one's problem.
    [[nodiscard]] static bool openForReading(std::initializer_list<MappedFile*> files,
                                             QString& error);
    // Creates or truncates the file, reserves size bytes of disk for it (so that a full disk is
    // an error here, not a crash while writing through the mapping) and maps it for writing.
    [[nodiscard]] bool create(qint64 size);

    [[nodiscard]] QByteArrayView view() const;
    [[nodiscard]] uchar* writable() { return data; }
    [[nodiscard]] qint64 size() const { return length; }
    [[nodiscard]] const QString& errorString() const { return error; }
    [[nodiscard]] QString fileName() const { return file.fileName(); }

private:
    QFile file;
    uchar* data = nullptr;
    qint64 length = 0;
    QString error;
};
