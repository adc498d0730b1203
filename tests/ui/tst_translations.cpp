#include "changelogviewer.h"
#include "mirrors.h"
#include "modalboxanswerer.h"
#include "testfiles.h"
#include "urlclicklabel.h"
#include "windowfixture.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>
#include <QXmlStreamReader>

using namespace Qt::StringLiterals;

namespace {

const QString translationsDir = QString::fromUtf8(TRANSLATIONS_DIR);

// Loads as the program does: the full locale name, shortened until a file is found.
bool loadGerman(QTranslator& translator, const QString& baseName)
{
    return translator.load(translationsDir + u'/' + baseName + u"_de_DE"_s, QString(), u"_."_s);
}

// "context: source" of every message of a .ts file that has no finished translation.
QStringList untranslated(const QByteArray& ts)
{
    QStringList found;
    QXmlStreamReader xml(ts);
    QString context;
    QString source;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"name")
            context = xml.readElementText();
        else if (xml.name() == u"source")
            source = xml.readElementText();
        else if (xml.name() == u"translation") {
            const bool unfinished = !xml.attributes().value(u"type"_s).isEmpty();
            if (unfinished || xml.readElementText().isEmpty())
                found.append(context + u": "_s + source);
        }
    }
    if (xml.hasError())
        found.append(u"unreadable: "_s + xml.errorString());
    return found;
}

} // namespace

class TestTranslations : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void germanWindow();
    void germanTextsOfOtherContexts();
    void toolkitTexts();
    void everySourceTextIsTranslated();

private:
    QTranslator german;
};

void TestTranslations::initTestCase()
{
    QVERIFY2(loadGerman(german, u"update"_s), qPrintable(translationsDir));
    QVERIFY(QCoreApplication::installTranslator(&german));
}

void TestTranslations::cleanupTestCase()
{
    QCoreApplication::removeTranslator(&german);
}

void TestTranslations::germanWindow()
{
    WindowFixture f;
    f.configuration.channel = UpdateChannel::Beta;
    f.configuration.versionName = u"3.2"_s;
    MainWindow& window = f.makeWindow();
    window.setUIToConfigSpecs();

    QCOMPARE(window.windowTitle(), u"Sonavelle 3 Client-Aktualisierung"_s);
    QCOMPARE(f.startButton()->text(), u"Aktualisierung starten"_s);
    QCOMPARE(f.child<QPushButton>("detailsButton")->text(), u"Details"_s);
    QCOMPARE(f.child<QPushButton>("changelogButton")->text(), u"Änderungen anzeigen"_s);
    QCOMPARE(f.child<QLabel>("versionLabel")->text(),
             u"<div style=\"font-weight:bold;font-size:14px\">Aktualisierung auf Sonavelle 3.2"
             u"</div><div style=\"margin-top:8px\">Sie verwenden derzeit den <strong>Kanal "
             u"Beta</strong>.</div>"_s);

    QBuffer png;
    png.open(QIODevice::WriteOnly);
    QImage(10, 10, QImage::Format_RGB32).save(&png, "PNG");
    window.onBannerFound(png.data(), u"https://shop.example.org/a"_s);
    QCOMPARE(f.child<UrlClickLabel>("banner")->toolTip(),
             u"Klicken, um „https://shop.example.org“ zu öffnen"_s);

    ModalBoxAnswerer answerer({QMessageBox::Ok, QMessageBox::Ok});
    window.onUpdateCanceled(u"No mirror had version 1235"_s);
    QCOMPARE(f.startButton()->text(), u"Neu starten"_s);
    QCOMPARE(f.logLines().last(), u"Aktualisierung abgebrochen"_s);
    QCOMPARE(answerer.boxesSeen(),
             QStringList{
                     u"Aktualisierung|Aktualisierung abgebrochen: No mirror had version 1235."_s});

    // The error title comes from the generic context.
    window.show();
    QTimer::singleShot(0, f.startButton(), &QPushButton::click);
    QCOMPARE(WindowFixture::runEventLoop(), 2);
    QCOMPARE(answerer.boxesSeen().last(), u"Fehler|mirrors.ini is missing, cannot proceed."_s);

    window.onUpdateFinished();
    QCOMPARE(f.startButton()->text(), u"Sonavelle starten"_s);

    ChangeLogViewer viewer(nullptr, f.configuration.installation());
    QCOMPARE(viewer.windowTitle(), u"Änderungsprotokoll"_s);
    viewer.requestRemote(u"7"_s);
    QCOMPARE(viewer.findChild<QTextEdit*>()->toPlainText(),
             u"Das Änderungsprotokoll konnte nicht geladen werden."_s);
}

void TestTranslations::germanTextsOfOtherContexts()
{
    QCOMPARE(QCoreApplication::translate("QObject", "Error"), u"Fehler"_s);

    const QTemporaryDir root;
    Configuration configuration{InstallationLayout(root.path())};
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(!configuration.parseCommandLineOptions(
            {u"update"_s, u"client_linux_amd64"_s, u"abc"_s}));
    QCOMPARE(fatal.size(), 1);
    QCOMPARE(fatal.first().first().toString(), u"Ungültige Versionsnummer (abc)"_s);

    Mirrors mirrors;
    QSignalSpy message(&mirrors, &Mirrors::message);
    FTPSiteAccessData site;
    QCOMPARE(mirrors.getRandomMirror(site), Mirrors::NoMirrorLeft);
    QCOMPARE(message.size(), 1);
    QCOMPARE(message.first().first().toString(),
             u"Es sind keine (weiteren) funktionierenden Spiegelserver bekannt"_s);
}

void TestTranslations::toolkitTexts()
{
    if (!QFile::exists(translationsDir + u"/qt_de.qm"_s))
        QSKIP("the toolkit's German translation is not installed on this machine");
    QTranslator toolkit;
    QVERIFY(loadGerman(toolkit, u"qt"_s));
    QCOMPARE(toolkit.translate("QPlatformTheme", "&Yes"), u"&Ja"_s);
}

void TestTranslations::everySourceTextIsTranslated()
{
    const QString tsFile = QString::fromUtf8(TS_FILE);
    const QByteArray committed = readFile(tsFile);
    QVERIFY(!committed.isEmpty());
    QVERIFY2(untranslated(committed).isEmpty(), qPrintable(untranslated(committed).join(u'\n')));

    // What the sources ask for today, merged into a copy: nothing may be new or gone.
    QTemporaryDir work;
    const QString copy = work.filePath(u"update_de.ts"_s);
    QVERIFY(QFile::copy(tsFile, copy));
    QStringList arguments{u"-silent"_s, u"-no-obsolete"_s, u"-locations"_s, u"none"_s};
    arguments += QString::fromUtf8(TRANSLATED_DIRS).split(u'|');
    arguments += {u"-ts"_s, copy};
    QProcess lupdate;
    lupdate.start(QString::fromUtf8(LUPDATE_PROGRAM), arguments);
    QVERIFY(lupdate.waitForFinished(60000));
    QCOMPARE(lupdate.exitCode(), 0);
    const QByteArray current = readFile(copy);
    QVERIFY2(untranslated(current).isEmpty(), qPrintable(untranslated(current).join(u'\n')));
    QVERIFY2(current == committed,
             "translations/update_de.ts is out of date: build the target update_lupdate");
}

QTEST_MAIN(TestTranslations)
#include "tst_translations.moc"
