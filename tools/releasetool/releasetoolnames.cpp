#include "releasetoolnames.h"

#include "installationlayout.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

bool isControl(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

QString controlProblem(const QString& path)
{
    if (std::any_of(path.cbegin(), path.cend(), isControl))
        return u"the name contains a control character"_s;
    return {};
}

QString firstOf(std::initializer_list<QString> problems)
{
    for (const QString& problem : problems) {
        if (!problem.isEmpty())
            return problem;
    }
    return {};
}

} // namespace

QString ReleaseToolNames::pathProblem(const QString& path)
{
    if (path.contains(QChar(0)))
        return u"the name contains a zero character"_s;
    if (path.trimmed().isEmpty())
        return u"the name is empty"_s;
    // Qt reads a name beginning with ":" from the program's own resources.
    if (QDir::isAbsolutePath(path))
        return u"the name is absolute"_s;
    if (path.contains(u'\\'))
        return u"the name contains a backslash"_s;
    if (path.split(u'/').contains(u".."_s))
        return u"the name contains \"..\""_s;
    return {};
}

QString ReleaseToolNames::installedNameProblem(const QString& path)
{
    const QString problem = firstOf({pathProblem(path), controlProblem(path)});
    if (!problem.isEmpty())
        return problem;
    // A client directory copied from an installation holds the updater's lock, journal and
    // settings; updaters refuse a release that would install them.
    return InstallationLayout::reservedNameProblem(path);
}

QString ReleaseToolNames::mirrorNameProblem(const QString& path)
{
    const QString problem = firstOf({pathProblem(path), controlProblem(path)});
    if (!problem.isEmpty())
        return problem;
    // The updater joins the names into an address as they are: "#" and "?" would end its path
    // and "%" would be read as an escape.
    for (const QChar c : {u'#', u'?', u'%'}) {
        if (path.contains(c))
            return u"the name contains \"%1\", which cannot be part of a download address"_s.arg(c);
    }
    return {};
}

QString ReleaseToolNames::unpackedNameProblem(const QString& path)
{
    if (path.contains(u"::"_s))
        return u"the name contains \"::\", which separates the fields of the product ini"_s;
    return {};
}

QString ReleaseToolNames::clientTypeProblem(const QString& clientType)
{
    static const QRegularExpression allowed(u"^[A-Za-z0-9_][A-Za-z0-9_.-]*$"_s);
    if (!allowed.match(clientType).hasMatch())
        return u"client type %1 must consist of letters, digits, \"_\", \"-\" and \".\" and "
               u"must not begin with \"-\" or \".\""_s.arg(display(clientType));
    return {};
}

QString ReleaseToolNames::display(const QString& path)
{
    QString shown = path;
    std::replace_if(shown.begin(), shown.end(), isControl, u'?');
    return u'"' + shown + u'"';
}
