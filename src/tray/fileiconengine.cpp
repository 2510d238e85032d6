#include "tray/fileiconengine.h"

#include <QImage>
#include <QImageReader>
#include <QPaintDevice>
#include <QPainter>
#include <QPixmap>

FileIconEngine::FileIconEngine(const QString &fileName)
    : m_fileName(fileName)
{
    QImageReader reader(fileName);
    m_size = reader.size();
    // A format whose header does not tell the size is read once to learn it.
    if (!m_size.isValid()) {
        const QImage picture = reader.read();
        if (!picture.isNull())
            m_size = picture.size();
    }
}

QIcon FileIconEngine::icon(const QString &fileName)
{
    return QIcon(new FileIconEngine(fileName));
}

void FileIconEngine::paint(QPainter *painter, const QRect &rect, QIcon::Mode mode,
                           QIcon::State state)
{
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
    painter->drawPixmap(rect, pixmap(rect.size() * ratio, mode, state));
}

QSize FileIconEngine::actualSize(const QSize &size, QIcon::Mode, QIcon::State)
{
    // Scaled down to fit, never up: as Qt's engine does with a single picture.
    QSize actual = m_size;
    if (actual.width() > size.width() || actual.height() > size.height())
        actual.scale(size, Qt::KeepAspectRatio);
    return actual;
}

QPixmap FileIconEngine::pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state)
{
    if (m_size.isEmpty() || size.isEmpty())
        return QPixmap();
    // Decoded whole and scaled as a pixmap, so the pixels are those Qt's engine would give.
    QPixmap picture = QPixmap::fromImage(QImageReader(m_fileName).read());
    const QSize actual = actualSize(size, mode, state);
    if (picture.isNull() || picture.size() == actual)
        return picture;
    return picture.scaled(actual, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QList<QSize> FileIconEngine::availableSizes(QIcon::Mode, QIcon::State)
{
    return m_size.isEmpty() ? QList<QSize>() : QList<QSize> { m_size };
}

QString FileIconEngine::key() const
{
    return QStringLiteral("FileIconEngine");
}

QIconEngine *FileIconEngine::clone() const
{
    return new FileIconEngine(*this);
}

bool FileIconEngine::isNull()
{
    // As Qt's engine: a file that cannot be read still makes an icon, of no size.
    return m_fileName.isEmpty();
}
