#include "installationlayout.h"

#include "approot.h"

using namespace Qt::StringLiterals;

InstallationLayout InstallationLayout::ofThisProgram()
{
    return InstallationLayout(AppRoot::path());
}

const QString& InstallationLayout::backupPrefix()
{
    static const QString prefix = u"_old_"_s;
    return prefix;
}

const QStringList& InstallationLayout::ownFileNames()
{
    static const QStringList names{u"update"_s,
                                   u"libQtCore.so.4"_s,
                                   u"libQtGui.so.4"_s,
                                   u"libQtNetwork.so.4"_s,
                                   u"libqgif.so"_s,
                                   u"libqjpeg.so"_s,
                                   u"libqtaccessiblewidgets.so"_s};
    return names;
}

QString InstallationLayout::clientStartScript()
{
    return u"vq3client_runscript.sh"_s;
}
