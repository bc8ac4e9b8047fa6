#ifndef TESTFILES_H
#define TESTFILES_H

// Files a test lays out or reads back, whole.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
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

// Copies every file below from into to (a configuration the service reads
// from its working directory); false at the first file that does not copy.
inline bool copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString src = it.next();
        const QString dst = QDir(to).filePath(QDir(from).relativeFilePath(src));
        if (!QDir().mkpath(QFileInfo(dst).absolutePath()) || !QFile::copy(src, dst))
            return false;
    }
    return true;
}

#endif // TESTFILES_H
