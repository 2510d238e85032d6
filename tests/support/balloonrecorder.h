#pragma once

#include <QList>
#include <QObject>
#include <QStringList>

// Records every balloon message Qt draws itself (the case on an X display without a
// notification service): its texts (title first, where there is one), whether it shows an
// icon, and how long it asks to stay.
class BalloonRecorder : public QObject
{
    Q_OBJECT

public:
    struct Balloon
    {
        QStringList texts;
        bool hasIcon = false;
        int timeout = -1;
    };

    explicit BalloonRecorder(QObject *parent = nullptr);
    ~BalloonRecorder() override;

    QList<Balloon> balloons() const;
    // Titles of the balloons shown so far, in order.
    QStringList titles() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QList<Balloon> m_balloons;
};
