#include "builds/buildquery.h"

#include <QRegularExpression>

namespace {

// Digits that fit in an int and are not zero; -1 otherwise.
int positive(QStringView digits)
{
    bool ok = false;
    const int value = digits.toInt(&ok);
    return ok && value > 0 ? value : -1;
}

} // namespace

BuildQuery BuildQuery::parse(const QString &text)
{
    static const QRegularExpression number(QStringLiteral("^[0-9]{1,10}$"));
    static const QRegularExpression version(
        QStringLiteral("^([0-9]{1,6})\\.([0-9]{1,6})\\.([0-9]{1,6})\\.([0-9]{1,6})$"));
    static const QRegularExpression milestone(QStringLiteral("^[Mm]([0-9]{1,4})$"));
    static const QRegularExpression day(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}$"));
    const QString wanted = text.trimmed();
    BuildQuery result;
    if (number.match(wanted).hasMatch()) {
        result.number = positive(wanted);
        result.kind = result.number > 0 ? Number : Invalid;
    } else if (const auto parts = version.match(wanted); parts.hasMatch()) {
        QStringList numbers;
        for (int i = 1; i <= 4; ++i)
            numbers.append(QString::number(parts.captured(i).toInt()));
        result.kind = numbers.first() != QLatin1String("0") ? Version : Invalid;
        result.version = numbers.join(QLatin1Char('.'));
    } else if (const auto parts = milestone.match(wanted); parts.hasMatch()) {
        result.number = positive(parts.capturedView(1));
        result.kind = result.number > 0 ? Milestone : Invalid;
    } else if (day.match(wanted).hasMatch()) {
        result.date = QDate::fromString(wanted, Qt::ISODate);
        result.kind = result.date.isValid() ? Date : Invalid;
    }
    return result.kind == Invalid ? BuildQuery() : result;
}

QString BuildQuery::text() const
{
    switch (kind) {
    case Number:
        return QString::number(number);
    case Version:
        return version;
    case Milestone:
        return QLatin1Char('M') + QString::number(number);
    case Date:
        return date.toString(Qt::ISODate);
    case Invalid:
        break;
    }
    return QString();
}
