#include "install/treeremoval.h"

#include "common/descriptortree.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_LINUX
// What is below the held folder `tree`, then the folder itself, as `name` in parent: rmdir(2)
// takes only an empty folder, so nothing another name leads to goes with it.
void removeHeld(int parent, int tree, const QByteArray &name)
{
    DescriptorTree::removeBelow(tree);
    ::unlinkat(parent, name.constData(), AT_REMOVEDIR);
    ::close(tree);
    ::close(parent);
}

bool onApplicationThread()
{
    const QCoreApplication *application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

// A fresh hidden name in parent that `name` now carries; empty when it could not be moved.
QByteArray moveAside(int parent, const QByteArray &name)
{
    const QByteArray aside = DescriptorTree::freshDir(parent, TreeRemoval::prefix);
    if (aside.isEmpty())
        return {};
    // rename(2) puts a folder in the place of an empty one.
    if (::renameat(parent, name.constData(), parent, aside.constData()) != 0) {
        ::unlinkat(parent, aside.constData(), AT_REMOVEDIR);
        return {};
    }
    return aside;
}
#endif

} // namespace

bool TreeRemoval::removeLater(const QString &path)
{
#ifdef Q_OS_LINUX
    const QFileInfo info(path);
    const QByteArray name = QFile::encodeName(info.fileName());
    const int parent = ::open(QFile::encodeName(info.absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0 || name.isEmpty() || name == "." || name == "..") {
        if (parent >= 0)
            ::close(parent);
        return false;
    }
    const int tree = DescriptorTree::openDirAt(parent, name.constData());
    if (tree < 0) {
        const bool gone = ::unlinkat(parent, name.constData(), 0) == 0 || errno == ENOENT;
        ::close(parent);
        return gone;
    }
    // Held from before the rename until its last entry is gone, so that no sweep, of this
    // session or another, takes it meanwhile. One that is held already is someone's removal.
    if (!DescriptorTree::holdFolder(tree)) {
        ::close(tree);
        ::close(parent);
        return true;
    }
    const QByteArray aside = onApplicationThread() ? moveAside(parent, name) : QByteArray();
    if (aside.isEmpty()) {
        // Off the GUI thread already, or it cannot be moved: removed where it is, now.
        removeHeld(parent, tree, name);
        return !QFileInfo::exists(path) && !QFileInfo(path).isSymLink();
    }
    QThreadPool::globalInstance()->start(
        [parent, tree, aside] { removeHeld(parent, tree, aside); });
    return true;
#else
    return QDir(path).removeRecursively();
#endif
}

void TreeRemoval::sweep(const QString &dir)
{
#ifdef Q_OS_LINUX
    const DescriptorTree::Fd folder(
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid())
        return;
    for (const QByteArray &entry : DescriptorTree::entriesOf(folder.get())) {
        if (entry.startsWith(prefix))
            removeLater(dir + QLatin1Char('/') + QFile::decodeName(entry));
    }
#else
    Q_UNUSED(dir)
#endif
}

void TreeRemoval::waitForAll()
{
    QThreadPool::globalInstance()->waitForDone();
}
