#include "streamdigests.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QTemporaryFile>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& c : data)
        c = char(generator.bounded(256));
    return data;
}

QByteArray md5Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

} // namespace

class TestStreamDigests : public QObject
{
    Q_OBJECT

private slots:
    void digestOfTheBlocksInOrder_data()
    {
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<int>("mode");
        for (const auto& [mode, name] : {std::pair{StreamDigests::OnPool, "on the pool"},
                                         {StreamDigests::AtOnce, "at once"}}) {
            QTest::addRow("nothing, %s", name) << QList<int>() << int(mode);
            QTest::addRow("one block, %s", name) << QList<int>{4096} << int(mode);
            QTest::addRow("empty blocks between, %s", name)
                    << QList<int>{10, 0, 65536, 0, 1} << int(mode);
            // Far more than the limit: nothing is lost.
            QTest::addRow("3 MiB in uneven blocks, %s", name)
                    << QList<int>(48, 65536) + QList<int>{1, 777, 300000} << int(mode);
        }
    }

    void digestOfTheBlocksInOrder()
    {
        QFETCH(QList<int>, sizes);
        QFETCH(int, mode);
        StreamDigests hash(nullptr, 256 * 1024);
        hash.reset(StreamDigests::Mode(mode));
        QByteArray whole;
        quint32 seed = 1;
        for (int size : std::as_const(sizes)) {
            const QByteArray block = randomBytes(size, seed++);
            whole += block;
            hash.add(QByteArrayView(block));
        }

        QTRY_VERIFY(hash.isIdle()); // the digest is there once idle, never waited for
        QCOMPARE(hash.hexMd5Result(), md5Hex(whole));
    }

    void resetStartsAFreshStream()
    {
        StreamDigests hash;
        for (int i = 0; i < 20; ++i)
            hash.add(randomBytes(65536, quint32(i)));
        hash.reset(StreamDigests::AtOnce);
        hash.add(QByteArrayView("hello"));
        QTRY_VERIFY(hash.isIdle());
        QCOMPARE(hash.hexMd5Result(), md5Hex("hello"_ba));

        hash.reset();
        hash.add(QByteArrayView("hello"));
        QTRY_VERIFY(hash.isIdle());
        QCOMPARE(hash.hexMd5Result(), md5Hex("hello"_ba));

        // What a signed manifest lists is all that is hashed.
        hash.reset(StreamDigests::OnPool, StreamDigests::Digests::Sha256);
        hash.add(QByteArrayView("hello"));
        QTRY_VERIFY(hash.isIdle());
        QCOMPARE(hash.hexMd5Result(), QByteArray());
        QCOMPARE(hash.hexSha256Result(),
                 QCryptographicHash::hash("hello", QCryptographicHash::Sha256).toHex());
    }

    // While the hasher cannot run, add() takes every block without waiting and says when the
    // limit is reached; the listener tells when the hasher has made room and when it is idle.
    void fullAtTheLimitTellsWhenThereIsRoom()
    {
        QThreadPool pool;
        pool.setMaxThreadCount(1);
        QSemaphore hold;
        pool.start([&hold] { hold.acquire(); });
        StreamDigests hash(&pool, 3 * 1024);
        int told = 0;
        hash.setListener([&told] { ++told; });
        QList<bool> full;
        for (int i = 0; i < 5; ++i) {
            hash.add(QByteArray(1024, 'x'));
            full.append(hash.isFull());
        }
        QCOMPARE(full, (QList<bool>{false, false, true, true, true}));
        QVERIFY(!hash.isIdle());

        hold.release();
        QTRY_VERIFY(told >= 2);
        QVERIFY(!hash.isFull());
        QVERIFY(hash.isIdle());
        QCOMPARE(hash.hexMd5Result(), md5Hex(QByteArray(5 * 1024, 'x')));
    }

    // The first bytes of a file go in beside the blocks; a file too short leaves no digest.
    void fileBytesInOrder()
    {
        QTemporaryFile file;
        QVERIFY(file.open() && file.write("hello world") == 11 && file.flush());
        for (const auto mode : {StreamDigests::OnPool, StreamDigests::AtOnce}) {
            StreamDigests hash;
            hash.reset(mode);
            hash.addFile(file.fileName(), 5);
            hash.add(QByteArrayView("!"));
            QTRY_VERIFY(hash.isIdle());
            QCOMPARE(hash.hexMd5Result(), md5Hex("hello!"_ba));
            hash.reset(mode);
            hash.addFile(file.fileName(), 12);
            QTRY_VERIFY(hash.isIdle());
            QCOMPARE(hash.hexMd5Result(), QByteArray());
        }
    }

    // Dropped with blocks still queued, it neither waits nor leaves a job behind that touches
    // freed memory.
    void destroyedWhileHashing()
    {
        QThreadPool pool;
        {
            StreamDigests hash(&pool);
            for (int i = 0; i < 16; ++i)
                hash.add(randomBytes(65536, quint32(i)));
        }
        QVERIFY(pool.waitForDone(10000));
    }
};

QTEST_GUILESS_MAIN(TestStreamDigests)
#include "tst_streamdigests.moc"
