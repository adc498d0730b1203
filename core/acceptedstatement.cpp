// The newest accepted channel statement, kept in "update.ini".
#include "acceptedstatement.h"

#include "buildconfig.h"
#include "installedrelease.h"
#include "settingsfile.h"

using namespace Qt::StringLiterals;

namespace {

const QString statementGroup = u"statement"_s;
const QString textKey = u"text"_s;

} // namespace

AcceptedStatement AcceptedStatement::read(const InstallationLayout& installation)
{
    AcceptedStatement kept;
    kept.signedTime = InstalledRelease::confirmedStatementTime(installation);
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(statementGroup);
    // Base64 keeps the signed bytes exactly, whatever the INI syntax does to tabs and line ends.
    const auto decoded = QByteArray::fromBase64Encoding(
            settings.value(textKey).toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    ChannelStatement statement;
    // A text edited apart from its time is no record of what was accepted.
    if (decoded && statement.parse(*decoded) && statement.signedAt() == kept.signedTime) {
        kept.keptText = *decoded;
        kept.parsed = std::move(statement);
    }
    return kept;
}

bool AcceptedStatement::write(const InstallationLayout& installation, const QByteArray& text,
                              const ChannelStatement& statement)
{
    auto settings = SettingsFile::updateIni(installation);
    settings.beginGroup(statementGroup);
    settings.setValue(textKey, QString::fromLatin1(text.toBase64()));
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError &&
           InstalledRelease::writeConfirmedStatementTime(installation, statement.signedAt());
}

bool AcceptedStatement::requiredByBuild()
{
    return BuildConfig::channelsRequired;
}
