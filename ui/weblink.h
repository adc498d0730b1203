#pragma once

#include <QString>

class QUrl;

// Addresses that come from the network (the news, the banner service, a change log) open in the
// desktop's browser only when they are web pages. Another scheme could open a local file or start
// whatever program the desktop has registered for it.
namespace WebLink {

// http or https (in any letter case), with a host.
[[nodiscard]] bool isWebLink(const QUrl& url);

// Opens a web link in the desktop's browser; anything else is not opened and gives false.
[[nodiscard]] bool open(const QUrl& url);

// The details-log line for an address that was not opened.
[[nodiscard]] QString refusedLine(const QString& address);

} // namespace WebLink
