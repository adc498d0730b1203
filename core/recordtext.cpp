#include "recordtext.h"

#include <QStringDecoder>
#include <QUtf8StringView>

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView byteOrderMark = "\xEF\xBB\xBF";

} // namespace

RecordText::RecordText(QByteArrayView magic, QLatin1StringView what, qint64 maxSize)
    : magic(magic)
    , what(what)
    , maxSize(maxSize)
{}

QString RecordText::decode(QByteArrayView field)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                         QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(field);
}

void RecordText::appendRecord(QByteArray& text, std::initializer_list<QByteArrayView> fields)
{
    QByteArrayView separator;
    for (const QByteArrayView field : fields) {
        text += separator;
        text += field;
        separator = "\t";
    }
    text += '\n';
}

QDateTime RecordText::wholeSecondsUtc(const QDateTime& time)
{
    const QDateTime utc = time.toUTC();
    return utc.addMSecs(-utc.time().msec());
}

bool RecordText::readLines(QByteArrayView text, int formatVersion)
{
    if (text.size() > maxSize)
        return fail(u"the %1 is %2 bytes long, more than the %3 this updater reads"_s.arg(what)
                            .arg(text.size())
                            .arg(maxSize));
    if (text.isEmpty())
        return fail(u"the %1 is empty"_s.arg(what));
    int number = 1;
    for (qsizetype start = 0; start < text.size(); ++number) {
        const qsizetype end = text.indexOf('\n', start);
        const bool read =
                end < 0 ? fail(u"the last line does not end in a line feed"_s)
                        : readLine(text.sliced(start, end - start), number == 1, formatVersion);
        if (!read)
            return fail(u"line %1: %2"_s.arg(number).arg(error));
        start = end + 1;
    }
    return true;
}

bool RecordText::readLine(QByteArrayView line, bool first, int formatVersion)
{
    if (line.isEmpty())
        return fail(u"the line is empty"_s);
    if (line.contains('\r'))
        return fail(u"the line contains a carriage return"_s);
    if (!QUtf8StringView(line).isValidUtf8())
        return fail(u"the line is not valid UTF-8"_s);
    const Fields fields = split(line);
    if (first)
        return readFormatLine(fields, formatVersion);
    if (fields.front() == magic)
        return fail(u"a second '%1' line"_s.arg(QLatin1StringView(magic)));
    return readRecord(fields);
}

RecordText::Fields RecordText::split(QByteArrayView line)
{
    Fields fields;
    qsizetype start = 0;
    for (qsizetype tab = line.indexOf('\t'); tab >= 0; tab = line.indexOf('\t', start)) {
        fields.append(line.sliced(start, tab - start));
        start = tab + 1;
    }
    fields.append(line.sliced(start));
    return fields;
}

bool RecordText::readFormatLine(const Fields& fields, int formatVersion)
{
    if (fields.front() != magic) {
        return fail(fields.front().startsWith(byteOrderMark)
                            ? u"the %1 starts with a byte order mark"_s.arg(what)
                            : u"not a %1"_s.arg(what));
    }
    if (fields.size() < 2)
        return wrongFieldCount(fields, "2"_L1);
    qint64 format = 0;
    if (!readDecimal(fields[1], "format"_L1, 1, std::numeric_limits<int>::max(), format))
        return false;
    // Checked before the rest of the line, which a later format may extend.
    if (format > formatVersion)
        return fail(
                u"%1 format %2 is newer than this updater reads (%3)"_s.arg(what).arg(format).arg(
                        formatVersion));
    return fields.size() == 2 || wrongFieldCount(fields, "2"_L1);
}

bool RecordText::unknownRecord(QByteArrayView kind)
{
    return isRecordKind(kind) || fail(u"'%1' is not a record kind"_s.arg(decode(kind)));
}

bool RecordText::isRecordKind(QByteArrayView kind)
{
    return !kind.isEmpty() && std::all_of(kind.begin(), kind.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

bool RecordText::isPlainName(QStringView name)
{
    return !name.isEmpty() && !name.contains(u'/') && !name.contains(u'\\') &&
           std::none_of(name.begin(), name.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

bool RecordText::fail(const QString& why)
{
    error = why;
    return false;
}

bool RecordText::secondRecord(QByteArrayView kind)
{
    return fail(u"a second '%1' record"_s.arg(QLatin1StringView(kind)));
}

bool RecordText::wrongFieldCount(const Fields& fields, QLatin1StringView expected)
{
    return fail(u"a %1 record needs %2 fields, not %3"_s.arg(decode(fields.front()), expected)
                        .arg(fields.size()));
}

bool RecordText::missingRecord(QByteArrayView kind)
{
    return fail(u"no %1 record"_s.arg(QLatin1StringView(kind)));
}

bool RecordText::readDecimal(QByteArrayView text, QLatin1StringView what, qint64 min, qint64 max,
                             qint64& value)
{
    const auto reject = [&](const QString& why) {
        return fail(u"the %1 '%2' "_s.arg(what, decode(text)) + why);
    };
    const bool digits = !text.isEmpty() && std::all_of(text.begin(), text.end(),
                                                       [](char c) { return c >= '0' && c <= '9'; });
    if (!digits)
        return reject(u"is not a decimal number"_s);
    if (text.size() > 1 && text.front() == '0')
        return reject(u"has a leading zero"_s);
    qint64 number = 0;
    for (const char c : text) {
        // Stops growing once past max, so that no number of digits overflows.
        if (number <= max)
            number = number * 10 + (c - '0');
    }
    if (number < min || number > max)
        return reject(u"is out of range (%1 to %2)"_s.arg(min).arg(max));
    value = number;
    return true;
}

bool RecordText::readTime(QByteArrayView text, QLatin1StringView what, QDateTime& time)
{
    const QString spelled = decode(text);
    const QDateTime read = QDateTime::fromString(spelled, Qt::ISODate);
    if (!read.isValid() || read.timeSpec() != Qt::UTC || read.toString(Qt::ISODate) != spelled)
        return fail(
                u"the %1 '%2' is not a UTC time like 2026-12-07T21:00:00Z"_s.arg(what, spelled));
    time = read;
    return true;
}
