#ifndef UTF8TEXT_H
#define UTF8TEXT_H

// The tool's user texts are Chinese, written as UTF-8 in the sources.

#include <QString>

inline QString u(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

#endif // UTF8TEXT_H
