#include "versionquerybox.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace {

// The box shares the generic "QObject" translation context with the configuration's texts.
const char* const queryFailedTitle = QT_TRANSLATE_NOOP("QObject", "Error");
const char* const queryFailedText =
        QT_TRANSLATE_NOOP("QObject", "Failed to query latest client\nversion from update server.");

} // namespace

bool VersionQueryBox::askRetry()
{
    const auto answer =
            QMessageBox::critical(nullptr, QCoreApplication::translate("QObject", queryFailedTitle),
                                  QCoreApplication::translate("QObject", queryFailedText),
                                  QMessageBox::Retry | QMessageBox::Abort, QMessageBox::NoButton);
    return answer == QMessageBox::Retry;
}
