#ifndef STATUSLOOK_H
#define STATUSLOOK_H

// The round green and red state lamps of the connect tab.

#include <QString>

namespace StatusLook {
inline QString green()
{
    return QStringLiteral("QLabel{background-color:#00ff00;border-radius:10px;}");
}
inline QString red()
{
    return QStringLiteral("QLabel{background-color:#ff0000;border-radius:10px;}");
}
} // namespace StatusLook

#endif // STATUSLOOK_H
