#pragma once

#include <QByteArray>
#include <QString>

// Whole files for tests: writes make the missing parent directories; a file that cannot be read
// reads as empty.
[[nodiscard]] bool writeFile(const QString& path, const QByteArray& data);
[[nodiscard]] QByteArray readFile(const QString& path);
