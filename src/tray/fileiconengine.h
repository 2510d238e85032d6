#pragma once

#include <QIcon>
#include <QIconEngine>
#include <QSize>
#include <QString>

// An icon drawn from a picture file each time it is asked for, at the size asked for: it
// holds the file's name and size, not its pixels. Qt's own engine keeps the whole picture
// decoded for as long as the icon lives (211 KiB for the program's 230 px picture, once for
// the window and once for the tray), which a program waiting in the tray would carry all
// day for an icon drawn at 22 px once. Pixels and scaling are those of Qt's engine; every
// mode shows the picture as it is.
class FileIconEngine : public QIconEngine
{
public:
    explicit FileIconEngine(const QString &fileName);

    // The picture in fileName as an icon.
    static QIcon icon(const QString &fileName);

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override;
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override;
    QString key() const override;
    QIconEngine *clone() const override;
    bool isNull() override;

private:
    QString m_fileName;
    // As the file's header says: empty when the file cannot be read as a picture.
    QSize m_size;
};
