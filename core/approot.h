#pragma once

#include <QString>

// The application root: the directory of the updater and of the client it updates. Every path of
// the installation is joined under it here.
class AppRoot
{
public:
    AppRoot() = delete;

    // The directory of the running program, unless another was set.
    [[nodiscard]] static QString path();
    // relativePath ("update.ini", "lib/libvoice.so") joined under the root.
    [[nodiscard]] static QString filePath(const QString& relativePath);
    // Tests and tools run from elsewhere than the installation they work on; empty restores the
    // program's own directory.
    static void setPath(const QString& path);
};
