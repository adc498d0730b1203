// The seeds of the fuzz targets for release manifests, channel statements and suffix patches, fed
// to what each target drives: a seed that no longer parses or applies would only fuzz the first
// check. Seeds named "refused-..." are meant to be refused, and must be, for their reason.

#include "channelstatement.h"
#include "fuzzseeds.h"
#include "releasemanifest.h"
#include "suffixpatch.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// What a refused seed is refused for: a piece of the error text.
const QHash<QString, QString> refusals{
        {u"manifest/refused-bad-path"_s, u"is not a plain relative path"_s},
        {u"manifest/refused-crlf"_s, u"the line contains a carriage return"_s},
        {u"manifest/refused-newer-format"_s, u"is newer than this updater reads"_s},
        {u"channels/refused-contradictions"_s, u"is listed twice"_s},
        {u"patch/refused-past-the-old-end"_s, u"a step reads outside the old file"_s},
};

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Why the input is refused, empty when it parses or applies.
QString refusal(const QString& target, const QByteArray& input)
{
    if (target == u"manifest") {
        ReleaseManifest manifest;
        return manifest.parse(input) ? QString() : manifest.errorString();
    }
    if (target == u"channels") {
        ChannelStatement statement;
        return statement.parse(input) ? QString() : statement.errorString();
    }
    QTemporaryDir dir;
    QFile old(dir.filePath(u"old"_s));
    QFile patch(dir.filePath(u"patch"_s));
    if (!old.open(QIODevice::WriteOnly) || old.write(fuzzPatchOldFile()) < 0 || !old.flush() ||
        !patch.open(QIODevice::WriteOnly) || patch.write(input) != input.size() || !patch.flush())
        return u"cannot write the files"_s;
    const Result<QByteArray> applied =
            SuffixPatch::apply(old.fileName(), patch.fileName(), dir.filePath(u"new"_s), 1 << 20);
    return applied.ok() ? QString() : applied.failure().text;
}

} // namespace

class TestFuzzSeeds : public QObject
{
    Q_OBJECT

private slots:
    void seedParsesOrIsRefusedForItsReason_data();
    void seedParsesOrIsRefusedForItsReason();
};

void TestFuzzSeeds::seedParsesOrIsRefusedForItsReason_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("path");
    for (const QString& target : {u"manifest"_s, u"channels"_s, u"patch"_s}) {
        const QDir corpus(QStringLiteral(FUZZ_CORPUS) + u'/' + target);
        const QStringList seeds = corpus.entryList(QDir::Files);
        QVERIFY2(!seeds.isEmpty(), qPrintable(corpus.path()));
        for (const QString& seed : seeds)
            QTest::addRow("%s/%s", qPrintable(target), qPrintable(seed))
                    << target << corpus.filePath(seed);
    }
}

void TestFuzzSeeds::seedParsesOrIsRefusedForItsReason()
{
    QFETCH(QString, target);
    QFETCH(QString, path);
    const QString error = refusal(target, readFile(path));
    const QString name = target + u'/' + QFileInfo(path).fileName();
    if (!QFileInfo(path).fileName().startsWith(u"refused-"_s)) {
        QVERIFY2(error.isEmpty(), qPrintable(error));
        return;
    }
    QVERIFY2(refusals.contains(name), "a refused seed needs its reason in the table");
    QVERIFY2(error.contains(refusals.value(name)), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestFuzzSeeds)
#include "tst_fuzzseeds.moc"
