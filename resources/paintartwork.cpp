// Paints the updater's artwork: the logo "images/sonavelle_logo.png" (48 x 48) shown in the
// window and the icon "images/application.ico" (16 to 256 pixels). The images are committed; run
// the target "artwork" after changing the drawing to write them anew into the source tree.
//
//     sonavelle-paint-artwork <directory>

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QList>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <QtEndian>

#include <algorithm>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// The drawing is made on a 256 x 256 canvas and scaled to each size.
constexpr qreal canvas = 256;
const QColor teal(0x1f, 0xbf, 0xa8);
const QColor indigo(0x3b, 0x4a, 0xd6);

QLinearGradient brandGradient()
{
    QLinearGradient gradient(QPointF(24, 16), QPointF(232, 240));
    gradient.setColorAt(0, teal);
    gradient.setColorAt(1, indigo);
    return gradient;
}

QPainterPath speechBubble()
{
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(48, 62, 160, 112), 38, 38);
    QPainterPath tail;
    tail.moveTo(78, 160);
    tail.lineTo(66, 210);
    tail.lineTo(122, 170);
    tail.closeSubpath();
    return bubble.united(tail);
}

// A voice as level bars; small sizes get fewer, wider bars so that they stay apart.
void paintVoiceBars(QPainter& painter, int size)
{
    const QList<qreal> levels =
            size < 32 ? QList<qreal>{0.45, 1.0, 0.6} : QList<qreal>{0.35, 0.75, 1.0, 0.6, 0.3};
    const qreal pitch = size < 32 ? 38 : 24;
    const qreal barWidth = size < 32 ? 22 : 13;
    const qreal maxHeight = 78;
    const QPointF centre(128, 118);
    const qreal first = centre.x() - pitch * qreal(levels.size() - 1) / 2;

    painter.setPen(Qt::NoPen);
    painter.setBrush(brandGradient());
    for (qsizetype i = 0; i < levels.size(); ++i) {
        const qreal height = std::max(barWidth, maxHeight * levels.at(i));
        const QRectF bar(first + pitch * qreal(i) - barWidth / 2, centre.y() - height / 2, barWidth,
                         height);
        painter.drawRoundedRect(bar, barWidth / 2, barWidth / 2);
    }
}

QImage paintLogo(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / canvas, size / canvas);

    painter.setPen(Qt::NoPen);
    painter.setBrush(brandGradient());
    painter.drawEllipse(QRectF(6, 6, 244, 244));
    // A soft light from the top, so that the disc does not look flat.
    QLinearGradient shine(QPointF(0, 6), QPointF(0, 140));
    shine.setColorAt(0, QColor(255, 255, 255, 70));
    shine.setColorAt(1, QColor(255, 255, 255, 0));
    painter.setBrush(shine);
    painter.drawEllipse(QRectF(6, 6, 244, 244));

    painter.setBrush(Qt::white);
    painter.drawPath(speechBubble());
    paintVoiceBars(painter, size);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

void appendLe16(QByteArray& data, quint16 value)
{
    const quint16 le = qToLittleEndian(value);
    data.append(reinterpret_cast<const char*>(&le), sizeof le);
}

void appendLe32(QByteArray& data, quint32 value)
{
    const quint32 le = qToLittleEndian(value);
    data.append(reinterpret_cast<const char*>(&le), sizeof le);
}

QByteArray png(const QImage& image)
{
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return data;
}

// An icon entry as a device-independent bitmap: 32-bit BGRA rows bottom-up, then an all-clear
// AND mask (the alpha channel decides), as every icon reader understands.
QByteArray dib(const QImage& image)
{
    const int size = image.width();
    QByteArray data;
    appendLe32(data, 40);
    appendLe32(data, quint32(size));
    appendLe32(data, quint32(2 * size)); // colour rows and mask rows
    appendLe16(data, 1);
    appendLe16(data, 32);
    appendLe32(data, 0); // uncompressed
    const int maskStride = ((size + 31) / 32) * 4;
    appendLe32(data, quint32(size * size * 4 + maskStride * size));
    for (int i = 0; i < 4; ++i)
        appendLe32(data, 0);
    for (int y = size - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < size; ++x) {
            const QRgb pixel = row[x];
            data.append(char(qBlue(pixel)));
            data.append(char(qGreen(pixel)));
            data.append(char(qRed(pixel)));
            data.append(char(qAlpha(pixel)));
        }
    }
    data.append(QByteArray(maskStride * size, '\0'));
    return data;
}

// The large entries are stored as PNG, as icon files usually do; the small ones as bitmaps.
QByteArray icoFile(const QList<int>& sizes)
{
    QList<QByteArray> entries;
    for (int size : sizes)
        entries.append(size >= 64 ? png(paintLogo(size)) : dib(paintLogo(size)));

    QByteArray file;
    appendLe16(file, 0);
    appendLe16(file, 1); // icon
    appendLe16(file, quint16(sizes.size()));
    quint32 offset = quint32(6 + 16 * sizes.size());
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        const int size = sizes.at(i);
        file.append(char(size >= 256 ? 0 : size)); // 0 stands for 256
        file.append(char(size >= 256 ? 0 : size));
        file.append(char(0)); // no palette
        file.append(char(0));
        appendLe16(file, 1);
        appendLe16(file, 32);
        appendLe32(file, quint32(entries.at(i).size()));
        appendLe32(file, offset);
        offset += quint32(entries.at(i).size());
    }
    for (const QByteArray& entry : entries)
        file.append(entry);
    return file;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        std::fprintf(stderr, "sonavelle-paint-artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: sonavelle-paint-artwork <directory>\n");
        return 2;
    }
    // Painting and PNG encoding need the GUI library but no screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QDir directory(QString::fromLocal8Bit(argv[1]));
    if (!directory.exists() && !QDir().mkpath(directory.path())) {
        std::fprintf(stderr, "sonavelle-paint-artwork: cannot make %s\n", argv[1]);
        return 1;
    }
    const bool written =
            writeFile(directory.filePath(u"sonavelle_logo.png"_s), png(paintLogo(48))) &&
            writeFile(directory.filePath(u"application.ico"_s),
                      icoFile({16, 24, 32, 48, 64, 128, 256}));
    return written ? 0 : 1;
}
