#include "suffixpatch.h"

#include "filesystem.h"
#include "mappedfile.h"
#include "sha256.h"
#include "suffixindex.h"
#include "workpool.h"
#include "xzstreamreader.h"
#include "zstdstreamreader.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <lzma.h>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>
#include <zstd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView magic = "SVSUFX02";
// ZeroRunsXz packs the runs with xz: on the sparse differences of a build one commit apart its
// range coder makes them a tenth smaller than libzstd's entropy coders.
enum class Differences : quint64 { Bytewise = 0, ZeroRuns = 1, ZeroRunsXz = 2 };

// What a patch begins with: the magic; the sizes of the old and the new file; those of the packed
// steps and differences; how the differences are written; each number little-endian in 64 bits.
// The packed steps, differences and new bytes follow.
struct Header
{
    static constexpr qsizetype size = 8 + 5 * 8;

    qint64 sourceSize = 0;
    qint64 targetSize = 0;
    quint64 stepsSize = 0;
    quint64 differencesSize = 0;
    Differences form = Differences::Bytewise;

    // The header of patch when it is a patch of this kind whose streams lie within it.
    [[nodiscard]] static std::optional<Header> parse(QByteArrayView patch)
    {
        if (patch.size() < size || !patch.startsWith(magic))
            return std::nullopt;
        const auto number = [&](int i) {
            return qFromLittleEndian<quint64>(patch.data() + magic.size() + 8 * i);
        };
        Header header{qint64(number(0)), qint64(number(1)), number(2), number(3),
                      Differences(number(4))};
        const quint64 room = quint64(patch.size() - size);
        if (header.targetSize < 0 || number(4) > quint64(Differences::ZeroRunsXz) ||
            header.stepsSize > room || header.differencesSize > room - header.stepsSize)
            return std::nullopt;
        return header;
    }

    void appendTo(QByteArray& patch) const
    {
        patch.append(magic.data(), magic.size());
        for (const quint64 value : {quint64(sourceSize), quint64(targetSize), stepsSize,
                                    differencesSize, quint64(form)}) {
            char little[8];
            qToLittleEndian(value, little);
            patch.append(little, 8);
        }
    }

    [[nodiscard]] QByteArrayView steps(QByteArrayView patch) const
    {
        return patch.sliced(size, qsizetype(stepsSize));
    }
    [[nodiscard]] QByteArrayView differences(QByteArrayView patch) const
    {
        return patch.sliced(size + qsizetype(stepsSize), qsizetype(differencesSize));
    }
    [[nodiscard]] QByteArrayView extra(QByteArrayView patch) const
    {
        return patch.sliced(size + qsizetype(stepsSize + differencesSize));
    }
};

// Each stream's decoder keeps a window this large; three of them stay well inside the memory an
// apply may take.
constexpr int maxWindowLog = 24;
constexpr int minWindowLog = 10;
// xz unpacks several times slower than libzstd: only runs of differences up to this share of the
// new file are packed with it, so that an apply stays fast.
constexpr qint64 xzShareDivisor = 16;
// The dictionary of xz's encoder; its decoder needs about as much memory.
constexpr quint32 minXzDictionary = 4096;
constexpr quint32 maxXzDictionary = quint32(1) << maxWindowLog;
constexpr quint64 xzMemoryLimit = quint64(2) << maxWindowLog;
// A patch is made once and fetched by every user on the channel: worth the strongest level that
// keeps the decoder's window small (a third less than level 15 on a program of 27 MB).
constexpr int level = 19;
// A match this much longer than what the current alignment explains starts a new step.
constexpr qint64 betterBy = 8;
// A long exact match that the current alignment explains all but a few bytes of is walked over
// rather than searched again at every byte, which would take time quadratic in its length.
constexpr qint64 walkOverFrom = 256;
constexpr qint64 walkOverKeep = 64;
constexpr qsizetype outputBlock = 1024 * 1024;

const uchar* bytes(QByteArrayView view)
{
    return reinterpret_cast<const uchar*>(view.data());
}

// One step of a patch: add the difference to `add` bytes of the old file from oldAt, which makes
// the new file from newAt; then copy `copy` bytes of the new file as they are.
struct Step
{
    qint64 newAt = 0;
    qint64 oldAt = 0;
    qint64 add = 0;
    qint64 copy = 0;
};

// bsdiff's search for the steps of one stretch of the new file: go forward to the next place
// where an exact match differs from what continuing the current alignment would give, then
// extend the stretch before it forward from the last step and backward from the match, as far
// as at least half of the bytes agree.
class StepFinder
{
public:
    StepFinder(const SuffixIndex& index, QByteArrayView old, QByteArrayView target, qint64 begin,
               qint64 end)
        : index(index)
        , old(bytes(old))
        , oldSize(old.size())
        , target(bytes(target))
        , begin(begin)
        , end(end)
    {}

    [[nodiscard]] std::vector<Step> run()
    {
        qint64 scan = begin;
        qint64 length = 0;
        qint64 position = 0;
        lastScan = begin;
        lastPosition = std::min(begin, oldSize);
        lastOffset = lastPosition - begin;
        while (scan < end) {
            qint64 oldScore = 0;
            qint64 scored = scan += length;
            for (; scan < end; ++scan) {
                const SuffixIndex::Match match = index.longest(target + scan, end - scan);
                position = match.position;
                length = match.length;
                for (; scored < scan + length; ++scored)
                    oldScore += aligned(scored);
                if ((length == oldScore && length != 0) || length > oldScore + betterBy)
                    break;
                oldScore -= aligned(scan);
                if (length > walkOverFrom) {
                    const qint64 skipTo = scan + length - walkOverKeep;
                    while (++scan < skipTo)
                        oldScore -= aligned(scan);
                    --scan;
                }
            }
            if (length != oldScore || scan == end)
                addStep(scan, position);
        }
        return std::move(steps);
    }

private:
    [[nodiscard]] int aligned(qint64 at) const
    {
        const qint64 oldAt = at + lastOffset;
        return oldAt >= 0 && oldAt < oldSize && old[oldAt] == target[at] ? 1 : 0;
    }

    // The step from the last match up to the match at position, found for scan.
    void addStep(qint64 scan, qint64 position)
    {
        qint64 forward = forwardFromLast(scan);
        qint64 backward = scan < end ? backwardFrom(scan, position) : 0;
        if (lastScan + forward > scan - backward)
            splitOverlap(scan, position, forward, backward);
        steps.push_back(
                {lastScan, lastPosition, forward, (scan - backward) - (lastScan + forward)});
        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
    }

    // How far the last match's alignment goes on with at least half of the bytes agreeing.
    [[nodiscard]] qint64 forwardFromLast(qint64 scan) const
    {
        qint64 forward = 0;
        qint64 agree = 0;
        qint64 best = 0;
        for (qint64 i = 0; lastScan + i < scan && lastPosition + i < oldSize;) {
            agree += old[lastPosition + i] == target[lastScan + i];
            ++i;
            if (agree * 2 - i > best * 2 - forward) {
                best = agree;
                forward = i;
            }
        }
        return forward;
    }

    // The same backward from the new match, not beyond the last one.
    [[nodiscard]] qint64 backwardFrom(qint64 scan, qint64 position) const
    {
        qint64 backward = 0;
        qint64 agree = 0;
        qint64 best = 0;
        for (qint64 i = 1; scan >= lastScan + i && position >= i; ++i) {
            agree += old[position - i] == target[scan - i];
            if (agree * 2 - i > best * 2 - backward) {
                best = agree;
                backward = i;
            }
        }
        return backward;
    }

    // The two extensions overlap: split them where the most bytes agree.
    void splitOverlap(qint64 scan, qint64 position, qint64& forward, qint64& backward) const
    {
        const qint64 overlap = (lastScan + forward) - (scan - backward);
        qint64 agree = 0;
        qint64 best = 0;
        qint64 split = 0;
        for (qint64 i = 0; i < overlap; ++i) {
            agree += target[lastScan + forward - overlap + i] ==
                     old[lastPosition + forward - overlap + i];
            agree -= target[scan - backward + i] == old[position - backward + i];
            if (agree > best) {
                best = agree;
                split = i + 1;
            }
        }
        forward += split - overlap;
        backward -= split;
    }

    const SuffixIndex& index;
    const uchar* old;
    qint64 oldSize;
    const uchar* target;
    qint64 begin;
    qint64 end;
    qint64 lastScan = 0;
    qint64 lastPosition = 0;
    qint64 lastOffset = 0;
    std::vector<Step> steps;
};

std::vector<Step> findSteps(const SuffixIndex& index, QByteArrayView old, QByteArrayView target,
                            int threads)
{
    // Stretches are searched side by side; only a match across their border is lost.
    const qint64 parts = std::clamp<qint64>(threads, 1, std::max<qint64>(1, target.size() >> 20));
    std::vector<std::vector<Step>> found(static_cast<size_t>(parts));
    WorkPool::forEach(WorkPool::helpers(), parts, int(parts), [&](qsizetype part) {
        const qint64 begin = target.size() * part / parts;
        const qint64 end = target.size() * (part + 1) / parts;
        found[size_t(part)] = StepFinder(index, old, target, begin, end).run();
    });
    std::vector<Step> steps;
    for (std::vector<Step>& part : found)
        steps.insert(steps.end(), part.begin(), part.end());
    return steps;
}

void appendNumber(QByteArray& out, quint64 value)
{
    while (value >= 0x80) {
        out.append(char(value | 0x80));
        value >>= 7;
    }
    out.append(char(value));
}

quint64 zigzag(qint64 value)
{
    return (quint64(value) << 1) ^ quint64(value >> 63);
}

qint64 unzigzag(quint64 value)
{
    return qint64(value >> 1) ^ -qint64(value & 1);
}

struct CCtxFree
{
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

// Appends data as one libzstd frame to out. False with error set when libzstd fails.
bool compress(QByteArrayView data, QByteArray& out, int threads, QString& error)
{
    const std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    if (!context) {
        error = u"out of memory"_s;
        return false;
    }
    ZSTD_CCtx* c = context.get();
    const int windowLog =
            std::clamp(int(std::bit_width(quint64(std::max<qsizetype>(data.size(), 1) - 1))),
                       minWindowLog, maxWindowLog);
    const qsizetype before = out.size();
    out.resize(before + qsizetype(ZSTD_compressBound(size_t(data.size()))));
    size_t written = ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level);
    if (!ZSTD_isError(written))
        written = ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog);
    // A damaged stream is then told from a valid one before the result is compared.
    if (!ZSTD_isError(written))
        written = ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    // Takes effect on streams of several windows; libzstd without threads ignores it.
    if (!ZSTD_isError(written) && threads > 1)
        static_cast<void>(ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, threads));
    if (!ZSTD_isError(written))
        written = ZSTD_compress2(c, out.data() + before, size_t(out.size() - before), data.data(),
                                 size_t(data.size()));
    if (ZSTD_isError(written)) {
        error = u"cannot make the patch: %1"_s.arg(QString::fromUtf8(ZSTD_getErrorName(written)));
        return false;
    }
    out.resize(before + qsizetype(written));
    return true;
}

// Appends data as one xz stream to out, with the strongest preset and a dictionary no larger than
// data. False with error set when liblzma fails.
bool compressXz(QByteArrayView data, QByteArray& out, QString& error)
{
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME)) {
        error = u"cannot make the patch: xz has no preset 9"_s;
        return false;
    }
    options.dict_size = std::clamp(
            std::bit_ceil(quint32(std::min<qsizetype>(data.size(), qsizetype(maxXzDictionary)))),
            minXzDictionary, maxXzDictionary);
    // Differences have no alignment that the position bits could use.
    options.pb = 0;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    const qsizetype before = out.size();
    out.resize(before + qsizetype(lzma_stream_buffer_bound(size_t(data.size()))));
    size_t written = 0;
    const lzma_ret result = lzma_stream_buffer_encode(
            const_cast<lzma_filter*>(filters), LZMA_CHECK_CRC64, nullptr,
            reinterpret_cast<const uint8_t*>(data.data()), size_t(data.size()),
            reinterpret_cast<uint8_t*>(out.data() + before), &written, size_t(out.size() - before));
    if (result != LZMA_OK) {
        out.resize(before);
        error = u"cannot make the patch: xz fails (%1)"_s.arg(int(result));
        return false;
    }
    out.resize(before + qsizetype(written));
    return true;
}

// The three streams of a patch, first as they are and then packed.
struct Streams
{
    QByteArray control;
    QByteArray bytewise;
    QByteArray extra;

    void split(const std::vector<Step>& steps, QByteArrayView source, QByteArrayView target)
    {
        qint64 oldAt = 0;
        for (const Step& step : steps) {
            const qint64 from = step.add == 0 ? oldAt : step.oldAt;
            appendNumber(control, quint64(step.add));
            appendNumber(control, quint64(step.copy));
            appendNumber(control, zigzag(from - oldAt));
            const qsizetype before = bytewise.size();
            bytewise.resize(before + step.add);
            char* difference = bytewise.data() + before;
            for (qint64 i = 0; i < step.add; ++i)
                difference[i] = char(target[step.newAt + i] - source[from + i]);
            extra.append(target.sliced(step.newAt + step.add, step.copy));
            oldAt = from + step.add;
        }
    }

    // Differences that are mostly zeros, a few bytes apart, pack a third smaller as runs, "so
    // many zeros, then so many bytes: ...", and an apply copies the zeros' old bytes without
    // decoding them; dense ones pack smaller byte by byte. Both are packed, the smaller kept.
    [[nodiscard]] static QByteArray zeroRuns(QByteArrayView bytewise)
    {
        QByteArray runs;
        for (qsizetype at = 0; at < bytewise.size();) {
            qsizetype zeros = at;
            while (zeros < bytewise.size() && bytewise[zeros] == 0)
                ++zeros;
            qsizetype others = zeros;
            while (others < bytewise.size() && bytewise[others] != 0)
                ++others;
            appendNumber(runs, quint64(zeros - at));
            appendNumber(runs, quint64(others - zeros));
            runs.append(bytewise.sliced(zeros, others - zeros));
            at = others;
        }
        return runs;
    }

    // The header and the three packed streams, packed side by side.
    [[nodiscard]] bool pack(qint64 sourceSize, qint64 targetSize, int threads, QByteArray& patch,
                            QString& error) const
    {
        // control, differences byte by byte, as runs, as runs by xz, extra
        QByteArray packed[5];
        QString problems[5];
        WorkPool::forEach(WorkPool::helpers(), 3, 3, [&](qsizetype job) {
            if (job == 0) {
                if (compress(control, packed[0], 1, problems[0]))
                    compress(bytewise, packed[1], threads, problems[1]);
            } else if (job == 1) {
                const QByteArray runs = zeroRuns(bytewise);
                if (compress(runs, packed[2], threads, problems[2]) &&
                    runs.size() <= targetSize / xzShareDivisor)
                    compressXz(runs, packed[3], problems[3]);
            } else {
                compress(extra, packed[4], threads, problems[4]);
            }
        });
        for (const QString& problem : problems) {
            if (!problem.isEmpty()) {
                error = problem;
                return false;
            }
        }
        Differences form = Differences::Bytewise;
        for (const Differences other : {Differences::ZeroRuns, Differences::ZeroRunsXz}) {
            const QByteArray& packedOther = packed[quint64(other) + 1];
            if (!packedOther.isEmpty() && packedOther.size() < packed[quint64(form) + 1].size())
                form = other;
        }
        const QByteArray& differences = packed[quint64(form) + 1];
        Header{sourceSize, targetSize, quint64(packed[0].size()), quint64(differences.size()), form}
                .appendTo(patch);
        patch.append(packed[0]);
        patch.append(differences);
        patch.append(packed[4]);
        return true;
    }
};

// out[i] += from[i], eight bytes at a time: the low seven bits of each byte are added apart from
// the top bit, so that no carry crosses into the next byte, and the top bits are then added
// without carry (exclusive or).
void addTo(uchar* out, const uchar* from, qint64 count)
{
    constexpr quint64 high = 0x8080808080808080;
    qint64 i = 0;
    for (; i + 8 <= count; i += 8) {
        quint64 a = 0;
        quint64 b = 0;
        std::memcpy(&a, out + i, 8);
        std::memcpy(&b, from + i, 8);
        const quint64 sum = ((a & ~high) + (b & ~high)) ^ ((a ^ b) & high);
        std::memcpy(out + i, &sum, 8);
    }
    for (; i < count; ++i)
        out[i] = uchar(out[i] + from[i]);
}

// Writes the result a block at a time, hashing it on the way. A full block is hashed and written
// by a thread of its own while the next one is made: with dense differences the two take about
// as long as each other.
class ResultWriter
{
public:
    explicit ResultWriter(const QString& path)
        : file(path)
        , blocks{QByteArray(outputBlock, Qt::Uninitialized),
                 QByteArray(outputBlock, Qt::Uninitialized)}
    {}
    ~ResultWriter() { stop(); }
    ResultWriter(const ResultWriter&) = delete;
    ResultWriter& operator=(const ResultWriter&) = delete;

    [[nodiscard]] Failure open()
    {
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return {Failure::Kind::Disk, u"Could not open file %1 for writing: %2"_s.arg(
                                                 file.fileName(), file.errorString())};
        storer.emplace([this] { storeHandedOver(); });
        return {};
    }

    // Room for up to `want` bytes at the end of the block; null when storing failed.
    [[nodiscard]] uchar* room(qint64 want, qint64& got)
    {
        if (filled == outputBlock && !handOver())
            return nullptr;
        got = std::min<qint64>(want, outputBlock - filled);
        return reinterpret_cast<uchar*>(blocks[current].data()) + filled;
    }
    void commit(qint64 count) { filled += count; }

    // Everything committed is written and hashed.
    [[nodiscard]] Failure finish()
    {
        if (handOver())
            static_cast<void>(settled());
        return failure;
    }

    // What went wrong with storing, once room() or finish() said so.
    [[nodiscard]] const Failure& problem() const { return failure; }

    [[nodiscard]] QByteArray digest() { return hash.hexResult(); }

private:
    // Hands the current block to the storing thread once the one before is stored, and goes on
    // in the other.
    [[nodiscard]] bool handOver()
    {
        if (!settled())
            return false;
        if (filled == 0)
            return true;
        {
            const std::lock_guard lock(mutex);
            handed = QByteArrayView(blocks[current].constData(), filled);
        }
        changed.notify_all();
        current ^= 1;
        filled = 0;
        return true;
    }

    // Waits for the block handed over to be stored; false when it or one before failed.
    [[nodiscard]] bool settled()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return handed.isNull(); });
        if (!storeError.isEmpty())
            failure = {Failure::Kind::Disk, storeError};
        return !failure.failed();
    }

    void stop()
    {
        {
            const std::lock_guard lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        storer.reset();
    }

    // The storing thread: each block handed over, until stopped.
    void storeHandedOver()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !handed.isNull() || stopping; });
            if (handed.isNull())
                return;
            const QByteArrayView block = handed;
            lock.unlock();
            QString error = storeError.isEmpty() ? store(block) : QString();
            lock.lock();
            if (!error.isEmpty())
                storeError = std::move(error);
            handed = {};
            changed.notify_all();
        }
    }

    QString store(QByteArrayView block)
    {
        hash.add(block);
        if (file.write(block.data(), block.size()) != block.size() || !file.flush())
            return u"Could not write file %1: %2"_s.arg(file.fileName(), file.errorString());
        // Handed to the kernel's write-back now, so the sync before the commit finds little left.
        FileSystem::startWriteBack(file, file.pos() - block.size(), block.size());
        return {};
    }

    // Only the storing thread touches the file and the hash while a block is on its way.
    QFile file;
    Sha256 hash;
    QByteArray blocks[2];
    int current = 0;
    qsizetype filled = 0;
    Failure failure;
    // The hand-over, under the mutex.
    std::mutex mutex;
    std::condition_variable changed;
    QByteArrayView handed;
    QString storeError;
    bool stopping = false;
    std::optional<WorkPool::Companion> storer;
};

class Applier
{
public:
    Applier(QByteArrayView old, QByteArrayView patch, const QString& patchFile,
            ResultWriter& writer)
        : old(bytes(old))
        , oldSize(old.size())
        , patchFile(patchFile)
        , writer(writer)
        , header(Header::parse(patch))
        , steps(header ? header->steps(patch) : QByteArrayView(), maxWindowLog)
        , differences(differencesReader(header ? header->differences(patch) : QByteArrayView()))
        , extra(header ? header->extra(patch) : QByteArrayView(), maxWindowLog)
    {}

    [[nodiscard]] Failure run(qint64 maxTargetSize)
    {
        if (!header)
            return fail(u"not a patch of this kind"_s);
        if (header->sourceSize != oldSize)
            return fail(u"it was made from a file of %1 bytes"_s.arg(header->sourceSize));
        if (header->targetSize > maxTargetSize)
            return {Failure::Kind::Patch,
                    u"the patch %1 makes more than %2 bytes"_s.arg(patchFile).arg(maxTargetSize)};
        for (PackedStreamReader* stream : streams())
            if (!stream->problem().isEmpty())
                return fail(stream->problem());
        if (!makeAll())
            return failure;
        if (Failure stored = writer.finish(); stored.failed())
            return stored;
        return checkEnds();
    }

private:
    // Follows the steps until the new file is made; false with failure set.
    [[nodiscard]] bool makeAll()
    {
        const qint64 targetSize = header->targetSize;
        qint64 made = 0;
        qint64 oldAt = 0;
        while (made < targetSize) {
            quint64 add = 0;
            quint64 copy = 0;
            quint64 seek = 0;
            if (!steps.readNumber(add) || !steps.readNumber(copy) || !steps.readNumber(seek))
                return streamFailed(steps);
            // A damaged step may ask for any position: no arithmetic on it may overflow.
            if (add > quint64(targetSize - made) || copy > quint64(targetSize - made) - add)
                return failed(u"a step makes more than the new file's size"_s);
            // Past the old file's end even the length left would wrap; no step of a patch that
            // was made from it goes there.
            if (__builtin_add_overflow(oldAt, unzigzag(seek), &oldAt) || oldAt < 0 ||
                oldAt > oldSize || quint64(oldSize - oldAt) < add)
                return failed(u"a step reads outside the old file"_s);
            const bool added = header->form == Differences::Bytewise
                                       ? fill(*differences, qint64(add), old + oldAt)
                                       : addZeroRuns(qint64(add), old + oldAt);
            if (!added || !fill(extra, qint64(copy), nullptr))
                return false;
            oldAt += qint64(add);
            made += qint64(add + copy);
        }
        return true;
    }

    // Every stream ends where the new file does.
    [[nodiscard]] Failure checkEnds()
    {
        if (zerosLeft != 0 || othersLeft != 0)
            return fail(u"goes on after its end"_s, false);
        for (PackedStreamReader* stream : streams()) {
            if (stream->atEnd())
                continue;
            if (!stream->problem().isEmpty())
                return fail(stream->problem());
            return fail(stream->unfinished() ? u"ends early"_s : u"goes on after its end"_s, false);
        }
        return {};
    }

    [[nodiscard]] std::unique_ptr<PackedStreamReader> differencesReader(QByteArrayView packed)
    {
        if (header && header->form == Differences::ZeroRunsXz)
            return std::make_unique<XzStreamReader>(packed, xzMemoryLimit);
        return std::make_unique<ZstdStreamReader>(packed, maxWindowLog);
    }

    [[nodiscard]] std::array<PackedStreamReader*, 3> streams()
    {
        return {&steps, differences.get(), &extra};
    }

    // count bytes of the old file from `from`, each with its difference added: a run of zeros
    // takes the old bytes as they are.
    bool addZeroRuns(qint64 count, const uchar* from)
    {
        while (count > 0) {
            if (zerosLeft == 0 && othersLeft == 0) {
                if (!differences->readNumber(zerosLeft) || !differences->readNumber(othersLeft))
                    return streamFailed(*differences);
                if (zerosLeft == 0 && othersLeft == 0)
                    return failed(u"a run of differences is empty"_s);
            }
            if (zerosLeft == 0) {
                const qint64 take = qint64(std::min<quint64>(othersLeft, quint64(count)));
                if (!fill(*differences, take, from))
                    return false;
                othersLeft -= quint64(take);
                from += take;
                count -= take;
                continue;
            }
            qint64 got = 0;
            uchar* out = writer.room(qint64(std::min<quint64>(zerosLeft, quint64(count))), got);
            if (!out)
                return writerFailed();
            std::memcpy(out, from, size_t(got));
            writer.commit(got);
            zerosLeft -= quint64(got);
            from += got;
            count -= got;
        }
        return true;
    }

    // count bytes of the stream into the result; with from, each added to the old file's byte
    // there.
    bool fill(PackedStreamReader& stream, qint64 count, const uchar* from)
    {
        while (count > 0) {
            qint64 got = 0;
            uchar* out = writer.room(count, got);
            if (!out)
                return writerFailed();
            if (!stream.read(out, got))
                return streamFailed(stream);
            if (from) {
                addTo(out, from, got);
                from += got;
            }
            writer.commit(got);
            count -= got;
        }
        return true;
    }

    bool writerFailed()
    {
        failure = writer.problem();
        return false;
    }

    bool streamFailed(const PackedStreamReader& stream)
    {
        if (stream.problem().isEmpty())
            return failed(u"ends early"_s, false);
        return failed(stream.problem());
    }

    bool failed(const QString& why, bool doesNotApply = true)
    {
        failure = fail(why, doesNotApply);
        return false;
    }

    [[nodiscard]] Failure fail(const QString& why, bool doesNotApply = true) const
    {
        return {Failure::Kind::Patch,
                doesNotApply ? u"the patch %1 does not apply: %2"_s.arg(patchFile, why)
                             : u"the patch %1 %2"_s.arg(patchFile, why)};
    }

    const uchar* old;
    qint64 oldSize;
    const QString& patchFile;
    ResultWriter& writer;
    Failure failure;
    // What remains of the current run of differences.
    quint64 zerosLeft = 0;
    quint64 othersLeft = 0;
    std::optional<Header> header;
    ZstdStreamReader steps;
    std::unique_ptr<PackedStreamReader> differences;
    ZstdStreamReader extra;
};

} // namespace

Result<QByteArray> SuffixPatch::make(QByteArrayView source, QByteArrayView target, int threads)
{
    const auto failure = [](QString text) {
        return Failure{Failure::Kind::Patch, std::move(text)};
    };
    if (source.size() > maxSourceSize)
        return failure(u"larger than %1 bytes"_s.arg(maxSourceSize));
    std::vector<Step> steps;
    {
        // The index is the largest part of the memory: gone before the streams are packed.
        SuffixIndex index(source);
        if (!index.build())
            return failure(u"cannot sort the suffixes of the old file"_s);
        steps = findSteps(index, source, target, threads);
    }

    Streams streams;
    streams.split(steps, source, target);
    QByteArray patch;
    if (QString error; !streams.pack(source.size(), target.size(), threads, patch, error))
        return failure(std::move(error));
    return patch;
}

BinaryPatch::Method SuffixPatch::methodOf(QByteArrayView patch)
{
    const std::optional<Header> header = Header::parse(patch);
    const bool xz = header && header->form == Differences::ZeroRunsXz;
    return xz ? BinaryPatch::Method::SuffixXz : BinaryPatch::Method::Suffix;
}

Result<QByteArray> SuffixPatch::apply(const QString& sourceFile, const QString& patchFile,
                                      const QString& targetFile, qint64 maxTargetSize)
{
    const Result<MappedFile> source = MappedFile::openForReading(sourceFile);
    if (!source.ok())
        return source.failure();
    const Result<MappedFile> patch = MappedFile::openForReading(patchFile);
    if (!patch.ok())
        return patch.failure();
    ResultWriter writer(targetFile);
    if (Failure opened = writer.open(); opened.failed())
        return opened;
    Applier applier(source.value().view(), patch.value().view(), patchFile, writer);
    if (Failure applied = applier.run(maxTargetSize); applied.failed())
        return applied;
    return writer.digest();
}
