#include "patchapplytaskspecification.h"

#include "binarypatch.h"
#include "filesystem.h"
#include "wholefile.h"
#include "workpool.h"

#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

// An apply maps its source and streams or maps its result, so its own memory stays small, but two
// large ones at once would compete for the page cache and the disk. Large ones take turns.
constexpr qint64 largeApply = 8 * 1024 * 1024;

Failure patchFailure(QString text)
{
    return {Failure::Kind::Patch, std::move(text)};
}

} // namespace

PatchApplyTaskSpecification::PatchApplyTaskSpecification(const FilePatchSpecification& patch,
                                                         SessionLayout session,
                                                         InstallationLayout installation,
                                                         QObject* parent,
                                                         double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , patch(patch)
    , session(std::move(session))
    , installation(std::move(installation))
{}

QThreadPool* PatchApplyTaskSpecification::pool() const
{
    // A stat of the installed file: as quick as the renames the GUI thread makes itself.
    const qint64 size = QFileInfo(installation.filePath(patch.source)).size() + patch.resultSize;
    return size > largeApply ? WorkPool::largeApplies() : WorkPool::instance();
}

std::unique_ptr<ASyncFunc> PatchApplyTaskSpecification::createFunction()
{
    return std::make_unique<PatchApplyFunc>(patch, installation.filePath(patch.source),
                                            session.filePath(patch.path),
                                            session.filePath(patch.result));
}

PatchApplyFunc::PatchApplyFunc(FilePatchSpecification patch, QString sourceFile, QString patchFile,
                               QString resultFile)
    : patch(std::move(patch))
    , sourceFile(std::move(sourceFile))
    , patchFile(std::move(patchFile))
    , resultFile(std::move(resultFile))
{}

Failure PatchApplyFunc::run()
{
    Failure failure = applied();
    if (!failure.failed())
        return {};
    // Neither is worth keeping: the whole file is fetched next.
    QFile::remove(patchFile);
    return patchFailure(std::move(failure.text));
}

Failure PatchApplyFunc::applied() const
{
    // A patch kept from an interrupted run is checked here too, so its fetch need not be.
    WholeFile patchReader(patchFile);
    QByteArray digest;
    if (!patchReader.sha256(digest))
        return patchFailure(patchReader.errorString());
    if (digest != patch.sha256)
        return patchFailure(u"the patch has SHA-256 %1, the manifest lists %2"_s.arg(
                QString::fromLatin1(digest), QString::fromLatin1(patch.sha256)));
    // Made beside the result, which appears only once it is right; a run killed meanwhile leaves
    // at most this file, which the next apply overwrites.
    const QString making = resultFile + u".patching"_s;
    const Result<QByteArray> made =
            BinaryPatch::apply(patch.method, sourceFile, patchFile, making, patch.resultSize);
    Failure failure = !made.ok() ? made.failure() : checkDigest(made.value());
    if (failure.failed()) {
        QFile::remove(making);
        return failure;
    }
    // On the disk before the name that marks it complete: after a power cut that name never holds
    // bytes that were lost.
    if (Failure placed = FileSystem::placeSynced(making, resultFile); placed.failed())
        return patchFailure(std::move(placed.text));
    return {};
}

Failure PatchApplyFunc::checkDigest(const QByteArray& digest) const
{
    if (digest != patch.resultSha256)
        return patchFailure(u"the patched file has SHA-256 %1, the manifest lists %2"_s.arg(
                QString::fromLatin1(digest), QString::fromLatin1(patch.resultSha256)));
    return {};
}
