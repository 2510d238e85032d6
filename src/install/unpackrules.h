#pragma once

#include "install/archiveunpacker.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <unistd.h>

// What both unpackers share: the rules every entry passes before anything is written, and
// the clean-up of a tree that did not make it. The texts reach the user, and are the same
// whichever reader found the fault.
class UnpackRules
{
public:
    enum class Type { File, Directory, Other };

    struct Checked
    {
        QByteArray relative; // below the top folder, without a trailing slash
        bool directory = false;
        bool topFolder = false; // the top folder's own entry: nothing to write
    };

    UnpackRules(const QString &topFolder, const ArchiveUnpacker::Limits &limits);

    qint64 entries() const { return m_entries; }
    qint64 declaredBytes() const { return m_declared; }

    // Empty when the entry may be unpacked. `size` is -1 when the archive declares none.
    QString check(const QByteArray &name, Type type, bool encrypted, qint64 size, Checked *checked);

    QString tooLarge() const;

    static QString systemError(const QString &what, const QByteArray &path);
    static QString damaged(const QString &detail);
    // The catalog's word for an archive it does not take: unpacked the way it was before.
    static QString zip64Refused();
    // Far deeper than any build; it bounds the descriptors and recursion of the clean-up.
    static constexpr int maximumDepth = 64;
    // Removes everything below `directory` without following links: the tree is ours, but a
    // clean-up must never reach outside it whatever is found there.
    static void removeContents(int directory, int depth = 0);
    // The tree's `chrome`: a regular, executable file at its top, never through a link.
    static QString checkChrome(int root, const QString &topFolder);

    // A descriptor closed when it goes out of scope.
    class Descriptor
    {
    public:
        explicit Descriptor(int fd = -1)
            : m_fd(fd)
        {
        }
        ~Descriptor() { reset(); }
        Descriptor(const Descriptor &) = delete;
        Descriptor &operator=(const Descriptor &) = delete;
        Descriptor(Descriptor &&other) noexcept
            : m_fd(other.release())
        {
        }
        Descriptor &operator=(Descriptor &&other) noexcept
        {
            if (this != &other) {
                reset();
                m_fd = other.release();
            }
            return *this;
        }

        int get() const { return m_fd; }
        bool isValid() const { return m_fd >= 0; }
        int release()
        {
            const int fd = m_fd;
            m_fd = -1;
            return fd;
        }
        void reset()
        {
            if (m_fd >= 0)
                ::close(m_fd);
            m_fd = -1;
        }

    private:
        int m_fd;
    };

private:
    // Counts a file's declared size against the limit on all bytes.
    QString declare(qint64 size, const QString &shown);

    QByteArray m_top;
    ArchiveUnpacker::Limits m_limits;
    qint64 m_entries = 0;
    qint64 m_declared = 0;
    QSet<QByteArray> m_seen;
};
