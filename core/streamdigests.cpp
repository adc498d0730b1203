// Hashing a stream of blocks on the pool, in the order they came.

#include "streamdigests.h"

#include "sha256.h"
#include "wholefile.h"
#include "workpool.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QThreadPool>

#include <deque>
#include <mutex>
#include <utility>

namespace {

// A block to hash, or a file's first bytes (when file is set).
struct Item
{
    QByteArray block;
    QString file;
    qint64 fileSize = 0;
};

} // namespace

struct StreamDigests::Shared
{
    Shared(qsizetype maxQueuedBytes, Digests digests)
        : maxQueuedBytes(maxQueuedBytes)
        , withMd5(digests != Digests::Sha256)
        , withSha256(digests != Digests::Md5)
    {}

    const qsizetype maxQueuedBytes;
    const bool withMd5;
    const bool withSha256;
    mutable std::mutex mutex;
    std::deque<Item> queue;
    qsizetype queuedBytes = 0;
    // A pool job is hashing; only it touches the hashes and failed meanwhile.
    bool draining = false;
    QCryptographicHash hash{QCryptographicHash::Md5};
    Sha256 sha256;
    bool failed = false;
    // Touched on the main thread only; the job posts there to call it.
    std::function<void()> listener;

    void addData(QByteArrayView block)
    {
        if (withMd5)
            hash.addData(block);
        if (withSha256)
            sha256.add(block);
    }

    void take(const Item& item)
    {
        if (item.file.isEmpty()) {
            addData(item.block);
            return;
        }
        QFile file(item.file);
        failed = failed || !file.open(QIODevice::ReadOnly) ||
                 !WholeFile::streamDevice(file, item.fileSize,
                                          [this](QByteArrayView block) { addData(block); });
    }

    [[nodiscard]] bool full() const { return queuedBytes >= maxQueuedBytes; }
    [[nodiscard]] bool idle() const { return !draining && queue.empty(); }
};

StreamDigests::StreamDigests(QThreadPool* pool, qsizetype maxQueuedBytes)
    : pool(pool ? pool : WorkPool::instance())
    , maxQueuedBytes(maxQueuedBytes)
    , shared(std::make_shared<Shared>(maxQueuedBytes, Digests::Md5))
{
    Q_ASSERT(maxQueuedBytes > 0);
}

StreamDigests::~StreamDigests()
{
    // A running job holds its own reference and ends after the block in hand.
    const std::lock_guard lock(shared->mutex);
    shared->queue.clear();
    shared->queuedBytes = 0;
    shared->listener = nullptr;
}

void StreamDigests::add(QByteArray block)
{
    if (block.isEmpty())
        return;
    if (mode == AtOnce) {
        // No job runs in this mode: the hash is ours.
        shared->addData(block);
        return;
    }
    const std::lock_guard lock(shared->mutex);
    shared->queuedBytes += block.size();
    shared->queue.push_back({std::move(block), {}, 0});
    startDraining();
}

void StreamDigests::add(QByteArrayView block)
{
    if (mode == AtOnce)
        shared->addData(block);
    else
        add(block.toByteArray());
}

void StreamDigests::addFile(const QString& path, qint64 size)
{
    const Item item{{}, path, size};
    if (mode == AtOnce) {
        shared->take(item);
        return;
    }
    const std::lock_guard lock(shared->mutex);
    shared->queue.push_back(item);
    startDraining();
}

void StreamDigests::startDraining()
{
    if (shared->draining)
        return;
    shared->draining = true;
    pool->start([job = shared] { drain(job); });
}

void StreamDigests::drain(const std::shared_ptr<Shared>& shared)
{
    const auto tell = [&shared] {
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                    app,
                    [shared] {
                        // A copy: the listener may reset the stream, which moves it away.
                        if (const std::function<void()> listener = shared->listener)
                            listener();
                    },
                    Qt::QueuedConnection);
    };
    std::unique_lock lock(shared->mutex);
    while (!shared->queue.empty()) {
        const Item item = std::move(shared->queue.front());
        shared->queue.pop_front();
        const bool wasFull = shared->full();
        shared->queuedBytes -= item.block.size();
        if (wasFull && !shared->full())
            tell();
        lock.unlock();
        shared->take(item);
        lock.lock();
    }
    shared->draining = false;
    tell();
}

bool StreamDigests::isFull() const
{
    const std::lock_guard lock(shared->mutex);
    return shared->full();
}

bool StreamDigests::isIdle() const
{
    const std::lock_guard lock(shared->mutex);
    return shared->idle();
}

void StreamDigests::setListener(std::function<void()> changed)
{
    const std::lock_guard lock(shared->mutex);
    shared->listener = std::move(changed);
}

QByteArray StreamDigests::hexMd5Result()
{
    const std::lock_guard lock(shared->mutex);
    if (!shared->idle())
        return {};
    return shared->failed || !shared->withMd5 ? QByteArray() : shared->hash.result().toHex();
}

QByteArray StreamDigests::hexSha256Result()
{
    const std::lock_guard lock(shared->mutex);
    if (!shared->idle())
        return {};
    return shared->withSha256 && !shared->failed ? shared->sha256.hexResult() : QByteArray();
}

void StreamDigests::reset(Mode newMode, Digests digests)
{
    mode = newMode;
    // The old stream's job, if any, ends with its own state; its calls find no listener.
    // Held until the lock is released: the old state may have no other owner left.
    const std::shared_ptr<Shared> old =
            std::exchange(shared, std::make_shared<Shared>(maxQueuedBytes, digests));
    const std::lock_guard lock(old->mutex);
    old->queue.clear();
    old->queuedBytes = 0;
    shared->listener = std::move(old->listener);
    old->listener = nullptr;
}
