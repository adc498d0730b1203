#include "filesystem.h"
#include "filetransfertaskspecification.h"
#include "replacetestsupport.h"
#include "signallog.h"
#include "treesnapshot.h"
#include "workpool.h"

#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <csignal>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

// Large enough for many blocks of both operations.
const QByteArray payload = noise(300 * 1024);

} // namespace

class TestSlowFileOperations : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    QString source;
    QString target;

    bool prepareSource(const QString& kind)
    {
        if (kind == u"plain")
            return writeFile(source, payload);
        if (kind == u"empty gzip")
            return writeGzip(source, QByteArray());
        if (kind == u"missing")
            return true;
        if (!writeGzip(source, payload))
            return false;
        QByteArray packed = readFile(source);
        if (kind == u"truncated")
            packed.truncate(packed.size() / 2);
        else if (kind == u"corrupt")
            packed[packed.size() - 8] = char(~packed.at(packed.size() - 8)); // its CRC
        return writeFile(source, packed);
    }

    bool prepareTarget(const QString& kind)
    {
        if (kind == u"file")
            return writeFile(target, "installed");
        if (kind == u"directory")
            return writeFile(target + u"/inside"_s, "installed");
        return true;
    }

private slots:
    void initTestCase()
    {
        // A write past the file size limit fails with EFBIG instead of killing the process.
        std::signal(SIGXFSZ, SIG_IGN);
    }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        source = dir->filePath(u"download/source"_s);
        target = dir->filePath(u"root/target"_s);
        QVERIFY(QDir().mkpath(dir->filePath(u"root"_s)));
    }

    void cleanup() { WorkPool::instance()->waitForDone(); }

    // The new file appears under its name only complete and with its mode; a failure leaves
    // neither it nor its part file.
    void wholeFileOnly_data()
    {
        QTest::addColumn<bool>("completes");
        QTest::newRow("complete") << true;
        QTest::newRow("read fails half-way") << false;
    }

    void wholeFileOnly()
    {
        QFETCH(bool, completes);
        std::vector<char> buffer(1000);
        int blocks = 0;
        bool visibleEarly = false;
        const auto read = [&](char* block, qint64 capacity) -> qint64 {
            visibleEarly = visibleEarly || QFileInfo::exists(target);
            if (++blocks > 5)
                return completes ? 0 : -1;
            std::fill_n(block, capacity, 'x');
            return capacity;
        };
        const auto mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                          QFileDevice::ReadOther;

        QCOMPARE(!FileSystem::writeNewFile(target, buffer, read, mode).failed(), completes);

        QVERIFY(!visibleEarly);
        QVERIFY(!QFileInfo::exists(FileSystem::partFilePath(target)));
        QCOMPARE(QFileInfo::exists(target), completes);
        if (completes) {
            QCOMPARE(readFile(target), QByteArray(5000, 'x'));
            QCOMPARE(QFileInfo(target).permissions() & 0x0777, 0x0704);
        }
    }

    // A download on the same file system is moved into place with its mode. A target that exists
    // is never replaced.
    void moveWhenPossible_data()
    {
        QTest::addColumn<bool>("targetTaken");
        QTest::newRow("free target") << false;
        QTest::newRow("target taken") << true;
    }

    void moveWhenPossible()
    {
        QFETCH(bool, targetTaken);
        QVERIFY(writeFile(source, payload));
        if (targetTaken)
            QVERIFY(writeFile(target, "installed"));
        SignalLog log;
        FileTransferTaskSpecification task(
                source, target, nullptr, 1.0, QFileDevice::Permissions(0x7755),
                FileTransferTaskSpecification::Transfer::MoveWhenPossible);
        log.watchTask(&task, u"copy"_s);
        task.execute();
        // A rename is done at once; only the copy it falls back to goes to the pool.
        QCOMPARE(task.state(),
                 targetTaken ? TaskSpecification::Running : TaskSpecification::Finished);
        QTRY_VERIFY(task.state() >= TaskSpecification::Finished);

        if (targetTaken) {
            QCOMPARE(task.state(), TaskSpecification::ErrorCanceled);
            QCOMPARE(readFile(target), "installed"_ba);
            QCOMPARE(readFile(source), payload);
            return;
        }
        QCOMPARE(task.state(), TaskSpecification::Finished);
        QVERIFY(!QFileInfo::exists(source));
        QCOMPARE(readFile(target), payload);
        QCOMPARE(QFileInfo(target).permissions() & 0x0777, 0x0755);
    }

    void operation_data()
    {
        QTest::addColumn<bool>("unzip");
        QTest::addColumn<QString>("sourceKind");
        QTest::addColumn<QString>("targetKind");
        QTest::addColumn<int>("sizeLimit");
        QTest::addColumn<std::optional<QByteArray>>("result");
        const std::optional<QByteArray> failed;
        QTest::newRow("copy") << false << u"plain"_s << u"absent"_s << 0 << std::optional(payload);
        QTest::newRow("copy: source vanished")
                << false << u"missing"_s << u"absent"_s << 0 << failed;
        QTest::newRow("copy: file at target") << false << u"plain"_s << u"file"_s << 0 << failed;
        QTest::newRow("copy: directory at target")
                << false << u"plain"_s << u"directory"_s << 0 << failed;
        QTest::newRow("copy: disk full")
                << false << u"plain"_s << u"absent"_s << 100 * 1024 << failed;
        QTest::newRow("unzip") << true << u"gzip"_s << u"absent"_s << 0 << std::optional(payload);
        QTest::newRow("unzip: empty member")
                << true << u"empty gzip"_s << u"absent"_s << 0 << std::optional(QByteArray());
        // zlib reads what is not gzip as it is; the checksum check after an unpack decides.
        QTest::newRow("unzip: not packed")
                << true << u"plain"_s << u"absent"_s << 0 << std::optional(payload);
        QTest::newRow("unzip: truncated") << true << u"truncated"_s << u"absent"_s << 0 << failed;
        QTest::newRow("unzip: corrupt") << true << u"corrupt"_s << u"absent"_s << 0 << failed;
        QTest::newRow("unzip: source vanished")
                << true << u"missing"_s << u"absent"_s << 0 << failed;
        QTest::newRow("unzip: file at target") << true << u"gzip"_s << u"file"_s << 0 << failed;
        QTest::newRow("unzip: disk full")
                << true << u"gzip"_s << u"absent"_s << 100 * 1024 << failed;
    }

    // Whatever goes wrong, the operation fails with its text and leaves no target of its own
    // behind; what was at the target stays as it was.
    void operation()
    {
        QFETCH(bool, unzip);
        QFETCH(QString, sourceKind);
        QFETCH(QString, targetKind);
        QFETCH(int, sizeLimit);
        QFETCH(std::optional<QByteArray>, result);
        QVERIFY(prepareSource(sourceKind));
        QVERIFY(prepareTarget(targetKind));
        TreeSnapshot after = TreeSnapshot::take(dir->path());
        if (result)
            after.addFile(u"root/target"_s, *result, TreeSnapshot::newFileMode());
        using Transfer = FileTransferTaskSpecification::Transfer;
        auto task = std::make_unique<FileTransferTaskSpecification>(
                source, target, nullptr, 1.0, std::nullopt,
                unzip ? Transfer::Unzip : Transfer::Copy);
        SignalLog log;
        log.watchTask(task.get(), u"op"_s);

        {
            std::optional<FileSizeLimit> limit;
            if (sizeLimit > 0)
                limit.emplace(rlim_t(sizeLimit));
            task->execute();
            QTRY_VERIFY(task->state() != TaskSpecification::Running);
        }

        const QString failure = u"op message Could not %1 '%2' to '%3'"_s.arg(
                unzip ? u"unzip"_s : u"copy"_s, source, target);
        const QStringList expected = result ? QStringList{u"op progress 1"_s, u"op finished"_s}
                                            : QStringList{failure, u"op canceled ErrorCanceled"_s};
        QCOMPARE(log.events(), expected);
        COMPARE_TREES(TreeSnapshot::take(dir->path()), after);
    }
};

QTEST_GUILESS_MAIN(TestSlowFileOperations)
#include "tst_slowfileoperations.moc"
