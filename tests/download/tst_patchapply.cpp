// Tests of the patch apply task: where large applies wait for their turn.
#include "patchapplytaskspecification.h"
#include "sha256.h"
#include "streamdigests.h"
#include "workpool.h"
#include "zstdpatch.h"

#include <QCryptographicHash>
#include <QFile>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;

class TestPatchApply : public QObject
{
    Q_OBJECT

private slots:
    void largeAppliesWaitOffTheWorkPool();
};

// Two large applies wait for their turn while the only thread of the work pool hashes.
void TestPatchApply::largeAppliesWaitOffTheWorkPool()
{
    QTemporaryDir root;
    QTemporaryDir session;
    const QByteArray source(9 << 20, 'o');
    QByteArray target = source;
    target.replace(4096, 3, "new");
    const Result<QByteArray> zstd = ZstdPatch::make(source, target);
    QVERIFY(zstd.ok());
    const QByteArray& patch = zstd.value();
    QFile old(root.filePath(u"old"_s));
    QFile patchFile(session.filePath(u"p"_s));
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write(source) == source.size());
    QVERIFY(patchFile.open(QIODevice::WriteOnly) && patchFile.write(patch) == patch.size());
    old.close();
    patchFile.close();

    // The large applies' thread is held until released: both wait their turn meanwhile.
    QSemaphore turn;
    WorkPool::largeApplies()->start([&turn] { turn.acquire(); });
    const int threads = WorkPool::instance()->maxThreadCount();
    WorkPool::instance()->setMaxThreadCount(1);
    const auto restore = qScopeGuard([&] {
        turn.release();
        WorkPool::largeApplies()->waitForDone();
        WorkPool::instance()->setMaxThreadCount(threads);
    });
    std::vector<std::unique_ptr<PatchApplyTaskSpecification>> applies;
    for (const QString& result : {u"new1"_s, u"new2"_s}) {
        const FilePatchSpecification toApply{
                u"p"_s, Sha256::hexOf(patch),  patch.size(),  u"old"_s,
                result, Sha256::hexOf(target), target.size(), BinaryPatch::Method::Zstd};
        applies.push_back(std::make_unique<PatchApplyTaskSpecification>(
                toApply, SessionLayout(session.path()), InstallationLayout(root.path()), nullptr,
                1.0));
        applies.back()->execute();
    }
    StreamDigests hasher;
    hasher.addFile(root.filePath(u"old"_s), source.size());
    QTRY_VERIFY(hasher.isIdle());
    QCOMPARE(hasher.hexMd5Result(),
             QCryptographicHash::hash(source, QCryptographicHash::Md5).toHex());
    for (const auto& apply : applies)
        QCOMPARE(apply->state(), TaskSpecification::Running);

    turn.release();
    for (const auto& apply : applies)
        QTRY_COMPARE(apply->state(), TaskSpecification::Finished);
    QFile made(session.filePath(u"new2"_s));
    QVERIFY(made.open(QIODevice::ReadOnly));
    QCOMPARE(made.readAll(), target);
}

QTEST_GUILESS_MAIN(TestPatchApply)
#include "tst_patchapply.moc"
