#include "inerttextdocument.h"

#include <QImage>
#include <QUrl>

QVariant InertTextDocument::loadResource(int type, const QUrl& /*name*/)
{
    if (type != QTextDocument::ImageResource)
        return {};
    QImage blank(1, 1, QImage::Format_ARGB32);
    blank.fill(Qt::transparent);
    return blank;
}
