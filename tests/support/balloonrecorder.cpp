#include "support/balloonrecorder.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QTimer>
#include <QWidget>

BalloonRecorder::BalloonRecorder(QObject *parent)
    : QObject(parent)
{
    qApp->installEventFilter(this);
}

BalloonRecorder::~BalloonRecorder()
{
    qApp->removeEventFilter(this);
}

bool BalloonRecorder::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show && watched->isWidgetType()
        && qstrcmp(watched->metaObject()->className(), "QBalloonTip") == 0) {
        auto *widget = static_cast<QWidget *>(watched);
        Balloon balloon;
        for (const QLabel *label : widget->findChildren<QLabel *>()) {
            if (!label->pixmap().isNull())
                balloon.hasIcon = true;
            else if (!label->text().isEmpty())
                balloon.texts << label->text();
        }
        const qsizetype index = m_balloons.size();
        m_balloons.append(balloon);
        // The balloon starts its hide timer right after showing itself.
        QTimer::singleShot(0, widget, [this, widget, index] {
            const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(widget);
            if (!timers.isEmpty())
                m_balloons[index].timeout = int(timers.first().interval);
        });
    }
    return QObject::eventFilter(watched, event);
}

QList<BalloonRecorder::Balloon> BalloonRecorder::balloons() const
{
    return m_balloons;
}

QStringList BalloonRecorder::titles() const
{
    QStringList result;
    for (const Balloon &balloon : m_balloons)
        result << balloon.texts.value(0);
    return result;
}
