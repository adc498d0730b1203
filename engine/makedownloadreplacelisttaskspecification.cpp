#include "makedownloadreplacelisttaskspecification.h"

#include "productinireader.h"
#include "releasemanifest.h"
#include "runcontext.h"

#include <utility>

using namespace Qt::StringLiterals;

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
        const RunContext& context, FileSpecifications& fileLists, QObject* parent,
        double parentProgressRange, const ReleaseManifest* checkedManifest)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , context(context)
    , fileLists(&fileLists)
    , checkedManifest(checkedManifest)
{}

std::unique_ptr<ASyncFunc> MakeDownloadReplaceListTaskSpecification::createFunction()
{
    std::optional<ReleaseManifest> manifest;
    if (!context.manifestKey.isEmpty())
        manifest = checkedManifest != nullptr ? *checkedManifest : ReleaseManifest();
    auto func = std::make_unique<MakeDownloadReplaceListFunc>(
            context.launch.clientType, context.session, context.installation, std::move(manifest));
    // Posted from the pool thread before the result, so the lists are here when it arrives.
    connect(func.get(), &MakeDownloadReplaceListFunc::listsBuilt, this,
            &MakeDownloadReplaceListTaskSpecification::onListsBuilt, Qt::QueuedConnection);
    return func;
}

void MakeDownloadReplaceListTaskSpecification::onListsBuilt(FileSpecifications lists)
{
    workingLists = std::move(lists);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool res)
{
    // Lists of a build that was reset meanwhile are stale: publish only a running build's.
    if (res && state() == Running)
        *fileLists = std::exchange(workingLists, {});
    ASyncTaskSpecification::runDone(res);
}

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(const QString& clientType,
                                                         SessionLayout session,
                                                         InstallationLayout installation,
                                                         std::optional<ReleaseManifest> manifest)
    : clientType(clientType)
    , session(std::move(session))
    , installation(std::move(installation))
    , manifest(std::move(manifest))
{}

bool MakeDownloadReplaceListFunc::run()
{
    ProductIniReader reader(clientType, session, installation);
    reader.setMessageSink([this](const QString& text) { emit message(text); });
    reader.setProgressSink([this](qreal fraction) { emit progress(fraction); });
    if (manifest) {
        // A key was given, so only a checked manifest may say what the files are.
        if (manifest->version() == 0) {
            emit message(u"The release manifest has not been checked"_s);
            return false;
        }
        reader.setManifest(&*manifest);
    }
    FileSpecifications lists;
    if (!reader.read(lists))
        return false;
    emit listsBuilt(lists);
    return true;
}
