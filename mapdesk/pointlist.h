#ifndef POINTLIST_H
#define POINTLIST_H

// The point list that `busrelay --points` prints, as CSV or JSON, read into
// a table of texts and written back as CSV.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// Columns as the service names them, and one list of texts per row.
struct PointTable {
    QStringList columns;
    QVector<QStringList> rows;
    int column(const QString &name) const { return columns.indexOf(name); }
};

// Reads either form; the byte-order mark of the CSV is optional. False with
// a reason for text that is neither, or rows that do not fit the header.
bool parsePointList(const QByteArray &data, PointTable *table, QString *error);
// UTF-8 with a byte-order mark, a header row, CRLF line ends, quoted fields
// where a comma, quote, line break or edge blank needs it.
QByteArray pointListToCsv(const PointTable &table);

#endif // POINTLIST_H
