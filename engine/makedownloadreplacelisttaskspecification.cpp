#include "makedownloadreplacelisttaskspecification.h"

#include "configuration.h"
#include "productinireader.h"
#include "releasemanifest.h"
#include "wholefile.h"

#include <utility>

using namespace Qt::StringLiterals;

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
        Configuration* configuration, FileSpecifications& fileLists, QObject* parent,
        double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , configuration(configuration)
    , fileLists(&fileLists)
{}

std::unique_ptr<ASyncFunc> MakeDownloadReplaceListTaskSpecification::createFunction()
{
    auto func = std::make_unique<MakeDownloadReplaceListFunc>(
            configuration->clientType, configuration->tempDir, Configuration::getAppRootPath(),
            !configuration->manifestKey.isEmpty());
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
                                                         const QString& tempDir,
                                                         const QString& appRootPath,
                                                         bool withManifest)
    : clientType(clientType)
    , tempDir(tempDir)
    , appRootPath(appRootPath)
    , withManifest(withManifest)
{}

bool MakeDownloadReplaceListFunc::run()
{
    ProductIniReader reader(clientType, tempDir, appRootPath);
    reader.setMessageSink([this](const QString& text) { emit message(text); });
    reader.setProgressSink([this](qreal fraction) { emit progress(fraction); });
    ReleaseManifest manifest;
    if (withManifest) {
        if (!readManifest(manifest))
            return false;
        reader.setManifest(&manifest);
    }
    FileSpecifications lists;
    if (!reader.read(lists))
        return false;
    emit listsBuilt(lists);
    return true;
}

bool MakeDownloadReplaceListFunc::readManifest(ReleaseManifest& manifest)
{
    // The copy the product-ini stage checked, signature and all.
    WholeFile file(tempDir + u'/' + ReleaseManifest::fileName(clientType));
    QByteArray text;
    if (file.readAll(text) && manifest.parse(text))
        return true;
    emit message(u"Could not read the release manifest: %1"_s.arg(
            file.errorString().isEmpty() ? manifest.errorString() : file.errorString()));
    return false;
}
