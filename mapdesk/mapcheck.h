#ifndef MAPCHECK_H
#define MAPCHECK_H

// What is wrong with an address map before it goes to a gateway: unit ids
// the service cannot serve, ids used twice, devices mapped twice. No unit 255
// is a risk: the service runs, but without its own version, online and alarm
// bits. Unit 0 is only a warning: the service serves it, many Modbus clients
// cannot address it.

#include <QString>
#include <QStringList>
#include <QVector>

namespace MapCheck {

struct Row
{
    QString address;    // as typed
    QString deviceKey;  // empty for nodes without one (serial units)
    QString productCode;
};

struct Result
{
    QStringList errors;    // never installed
    QStringList risks;     // an error, but installed when the engineer insists
    QStringList warnings;
    bool clean() const { return errors.isEmpty() && risks.isEmpty() && warnings.isEmpty(); }
};

Result check(const QVector<Row> &rows);

} // namespace MapCheck

#endif // MAPCHECK_H
