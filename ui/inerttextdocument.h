#pragma once

#include <QTextDocument>
#include <QVariant>

class QUrl;

// A text document for markup that nobody signed (the news, a change log): it loads no resource at
// all, no file, no Qt resource and nothing from the network. An image is a blank pixel, since Qt
// reads an image's file by itself when the document gives it nothing; a style sheet or any other
// resource is nothing.
class InertTextDocument : public QTextDocument
{
    Q_OBJECT

public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int type, const QUrl& name) override;
};
