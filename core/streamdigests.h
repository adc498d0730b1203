#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <memory>

class QThreadPool;

// The digests of a stream of blocks (MD5, SHA-256 or both, as asked), taken on the thread pool
// while the caller goes on receiving: a download hashes its bytes as they arrive without the
// hashing holding up the thread that receives them. Blocks are hashed in the order they were
// added. add() never waits: once maxQueuedBytes wait, isFull() says so and the caller stops
// feeding until the listener tells it there is room again, so memory stays bounded however fast
// the bytes come. A short stream is better hashed at once: the hop to the pool and back would
// cost more than the hashing. A release with a signed manifest needs only SHA-256. Used from the
// application's main thread, whose event loop brings the listener's calls.
class StreamDigests
{
public:
    static constexpr qsizetype defaultMaxQueuedBytes = 1024 * 1024;
    enum Mode { OnPool, AtOnce };
    enum class Digests { Md5, Md5AndSha256, Sha256 };

    explicit StreamDigests(QThreadPool* pool = nullptr,
                           qsizetype maxQueuedBytes = defaultMaxQueuedBytes);
    // Does not wait: blocks not yet hashed are dropped.
    ~StreamDigests();
    StreamDigests(const StreamDigests&) = delete;
    StreamDigests& operator=(const StreamDigests&) = delete;

    void add(QByteArray block);
    // Copies the block unless it is hashed at once.
    void add(QByteArrayView block);
    // The first size bytes of the file at path, read where the blocks are hashed, so that a long
    // file takes no memory; when it cannot be read whole, both results are empty.
    void addFile(const QString& path, qint64 size);
    // The blocks waiting have reached the limit.
    [[nodiscard]] bool isFull() const;
    // Every block added has been hashed: the results are there without waiting.
    [[nodiscard]] bool isIdle() const;
    // Called, through the event loop, when the hasher has made room below the limit or has
    // become idle. Kept across reset().
    void setListener(std::function<void()> changed);
    // Once isIdle(), the lower-case hex MD5 digest of every block added since construction or
    // the last reset(); empty before, since the GUI thread that asks must never wait, and empty
    // for a stream that takes no MD5.
    [[nodiscard]] QByteArray hexMd5Result();
    // The same for SHA-256; empty unless the stream takes it.
    [[nodiscard]] QByteArray hexSha256Result();
    // Starts a new stream, hashed as mode says, taking digests; does not wait for the old one's
    // block in hand.
    void reset(Mode mode = OnPool, Digests digests = Digests::Md5);

private:
    struct Shared;
    static void drain(const std::shared_ptr<Shared>& shared);
    void startDraining();

    QThreadPool* pool;
    qsizetype maxQueuedBytes;
    std::shared_ptr<Shared> shared;
    Mode mode = OnPool;
};
