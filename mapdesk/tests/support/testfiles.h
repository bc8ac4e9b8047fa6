#ifndef TESTFILES_H
#define TESTFILES_H

// Files a test lays out or reads back, whole.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtTest>

// Fails the calling test when the file cannot be written whole.
inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

// Empty when the file cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

#endif // TESTFILES_H
