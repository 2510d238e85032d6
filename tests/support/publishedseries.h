#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>

// A series of published builds as the storage lists them, for the loopback storage.
namespace PublishedSeries {

// Builds with gaps between them, as the storage holds them: 1350000, 1350014, 1350028 ...
inline QList<int> sparse(int count, int first = 1350000)
{
    QList<int> numbers;
    for (int i = 0; i < count; ++i)
        numbers.append(first + i * 13 + i % 5);
    return numbers;
}

// Their archives in the Linux_x64 folder: size ten times the number, generation the number
// plus 7, created ten minutes a number after 2026-01-01 00:00 UTC (144 numbers a day); and a
// file that is no archive.
inline QList<QJsonObject> objects(const QList<int> &numbers)
{
    QList<QJsonObject> result;
    for (const int number : numbers) {
        const QDateTime created = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC)
                                      .addSecs(qint64(number - 1350000) * 600);
        result.append({ { "name", QStringLiteral("Linux_x64/%1/chrome-linux.zip").arg(number) },
                        { "size", QString::number(number * 10) },
                        { "generation", QString::number(number + 7) },
                        { "timeCreated", created.toString(Qt::ISODateWithMs) } });
    }
    result.append({ { "name", QStringLiteral("Linux_x64/%1/REVISIONS").arg(numbers.value(0)) } });
    return result;
}

} // namespace PublishedSeries
