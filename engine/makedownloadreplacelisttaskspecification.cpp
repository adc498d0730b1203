#include "makedownloadreplacelisttaskspecification.h"

#include "productinireader.h"
#include "releasemanifest.h"
#include "runcontext.h"

#include <utility>

using namespace Qt::StringLiterals;

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
        const RunContext& context, std::optional<ReleaseManifest> checkedManifest, QObject* parent,
        double parentProgressRange, std::optional<NewerRelease> newerRelease)
    : ASyncTaskOf<FileSpecifications>(parent, parentProgressRange)
    , context(context)
    , checkedManifest(std::move(checkedManifest))
    , newerRelease(std::move(newerRelease))
{}

std::unique_ptr<ASyncFunc> MakeDownloadReplaceListTaskSpecification::createFunction()
{
    std::optional<ReleaseManifest> manifest;
    if (!context.manifestKey.isEmpty())
        manifest = checkedManifest.value_or(ReleaseManifest());
    return std::make_unique<MakeDownloadReplaceListFunc>(
            context.launch.clientType, context.session, context.installation, std::move(manifest),
            context.launch.goingBackFrom, newerRelease);
}

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(const QString& clientType,
                                                         SessionLayout session,
                                                         InstallationLayout installation,
                                                         std::optional<ReleaseManifest> manifest,
                                                         int goingBackFrom,
                                                         std::optional<NewerRelease> newer)
    : clientType(clientType)
    , session(std::move(session))
    , installation(std::move(installation))
    , manifest(std::move(manifest))
    , goingBackFrom(goingBackFrom)
    , newer(std::move(newer))
{}

Result<FileSpecifications> MakeDownloadReplaceListFunc::run()
{
    ProductIniReader reader(clientType, session, installation);
    // The reader's last line before a failure is the reason for it.
    QString lastLine;
    reader.setMessageSink([this, &lastLine](const QString& text) {
        lastLine = text;
        emit message(text);
    });
    reader.setProgressSink([this](qreal fraction) { emit progress(fraction); });
    if (manifest) {
        // A key was given, so only a checked manifest may say what the files are.
        if (manifest->version() == 0) {
            const QString text = u"The release manifest has not been checked"_s;
            emit message(text);
            return Failure{Failure::Kind::Verification, text};
        }
        reader.setManifest(&*manifest);
    }
    if (Failure failure = setUpPullBack(reader); failure.failed())
        return failure;
    FileSpecifications lists;
    if (!reader.read(lists))
        return Failure{Failure::Kind::Release,
                       lastLine.isEmpty() ? u"The product ini could not be read"_s : lastLine};
    return lists;
}

Failure MakeDownloadReplaceListFunc::setUpPullBack(ProductIniReader& reader)
{
    if (goingBackFrom == 0)
        return {};
    if (!manifest) {
        emit message(u"Going back from version %1 without release manifests: the files only "
                     u"version %1 had are kept"_s.arg(goingBackFrom));
        return {};
    }
    if (!newer || newer->manifest.version() != goingBackFrom) {
        const QString text = u"The release of version %1 has not been checked"_s.arg(goingBackFrom);
        emit message(text);
        return {Failure::Kind::Verification, text};
    }
    reader.setNewerRelease(&*newer);
    return {};
}
