#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QLatin1StringView>
#include <QString>
#include <QVarLengthArray>

#include <initializer_list>

// The strict reading shared by the signed texts a mirror serves beside the releases: UTF-8, one
// record per LF-terminated line, fields separated by one TAB, a first line of magic and format
// version, and one spelling for every value, so that a text written back holds the signed lines.
// A record of a kind the reader does not know is skipped, so later formats can add kinds. The
// readers return false after setting the error text.
class RecordText
{
public:
    using Fields = QVarLengthArray<QByteArrayView, 6>;

    [[nodiscard]] const QString& errorString() const { return error; }

    // The field as it is: QString::fromUtf8 drops a leading byte order mark.
    [[nodiscard]] static QString decode(QByteArrayView field);
    static void appendRecord(QByteArray& text, std::initializer_list<QByteArrayView> fields);
    // Whole seconds in UTC, the one spelling the readers accept.
    [[nodiscard]] static QDateTime wholeSecondsUtc(const QDateTime& time);

protected:
    RecordText(QByteArrayView magic, QLatin1StringView what, qint64 maxSize);
    RecordText(const RecordText&) = default;
    RecordText& operator=(const RecordText&) = default;
    ~RecordText() = default;

    // Reads every line of text: the format line, then readRecord for each record.
    [[nodiscard]] bool readLines(QByteArrayView text, int formatVersion);
    [[nodiscard]] virtual bool readRecord(const Fields& fields) = 0;
    // For the end of readRecord: a kind this reader does not know is skipped.
    [[nodiscard]] bool unknownRecord(QByteArrayView kind);

    bool fail(const QString& why);
    bool secondRecord(QByteArrayView kind);
    bool wrongFieldCount(const Fields& fields, QLatin1StringView expected);
    bool missingRecord(QByteArrayView kind);
    [[nodiscard]] bool readDecimal(QByteArrayView text, QLatin1StringView what, qint64 min,
                                   qint64 max, qint64& value);
    [[nodiscard]] bool readTime(QByteArrayView text, QLatin1StringView what, QDateTime& time);
    // Not empty, without '/', '\\' or control characters: it can name a file.
    [[nodiscard]] static bool isPlainName(QStringView name);
    // A name of lower-case letters, digits and '-'.
    [[nodiscard]] static bool isRecordKind(QByteArrayView kind);

    QString error;

private:
    [[nodiscard]] bool readLine(QByteArrayView line, bool first, int formatVersion);
    [[nodiscard]] bool readFormatLine(const Fields& fields, int formatVersion);
    [[nodiscard]] static Fields split(QByteArrayView line);

    QByteArrayView magic;
    QLatin1StringView what;
    qint64 maxSize;
};
