#include "tray/fileiconengine.h"

#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPaintDevice>
#include <QPainter>
#include <QPixmap>

namespace {
// Read in the format the file's suffix names. Left to find the format, the reader asks every
// image plugin whether it reads it, which loads them all (and libjpeg): 0.3 MiB a tray start
// would carry for one PNG.
void readAsNamed(QImageReader &reader, const QString &fileName)
{
    reader.setFileName(fileName);
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix.isEmpty())
        return;
    reader.setFormat(suffix.toLatin1());
    reader.setAutoDetectImageFormat(false);
}
} // namespace

FileIconEngine::FileIconEngine(const QString &fileName)
    : m_fileName(fileName)
{
    QImageReader reader;
    readAsNamed(reader, fileName);
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
    QImageReader reader;
    readAsNamed(reader, m_fileName);
    QPixmap picture = QPixmap::fromImage(reader.read());
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
