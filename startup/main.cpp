#include "configuration.h"
#include "updateengine.h"

#include <QApplication>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace {

// A missing translation is no error: the built-in English texts stay.
void installTranslator(QApplication& app, QTranslator& translator, const QString& baseName)
{
    const QString path = Configuration::getAppRootFilePath(u"translations/"_s + baseName + u'_' +
                                                           QLocale::system().name());
    if (translator.load(path))
        app.installTranslator(&translator);
}

// What the previous self-update moved aside while it was in use; failures are retried next time.
void removeLeftoversOfSelfUpdate()
{
    const QString root = Configuration::getAppRootPath();
    UpdateEngine::removeOldFiles(root);
    UpdateEngine::removeOldFiles(root + u"/imageformats"_s);
    UpdateEngine::removeOldFiles(root + u"/accessible"_s);
}

void showFatalConfigurationError(const QString& errorMessage)
{
    QMessageBox::critical(nullptr, QCoreApplication::translate("MainWindow", "Error"),
                          errorMessage);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    removeLeftoversOfSelfUpdate();

    QTranslator updateTranslator;
    QTranslator qtTranslator;
    installTranslator(app, updateTranslator, u"update"_s);
    installTranslator(app, qtTranslator, u"qt"_s);

    Configuration configuration;
    QObject::connect(&configuration, &Configuration::fatalError, &app,
                     &showFatalConfigurationError);

    if (!configuration.parseCommandLineOptions())
        return 1;

    return app.exec();
}
