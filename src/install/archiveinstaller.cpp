#include "install/archiveinstaller.h"

#include <QTemporaryDir>

ArchiveInstaller::ArchiveInstaller(const InstallRoot &root, QObject *parent)
    : QObject(parent)
    , m_root(root)
{
}

ArchiveInstaller::~ArchiveInstaller() = default;

void ArchiveInstaller::install(int, const QString &, std::unique_ptr<QTemporaryDir>) {}
void ArchiveInstaller::unpacked() {}
void ArchiveInstaller::verified(int, QProcess::ExitStatus) {}
void ArchiveInstaller::verifyError(QProcess::ProcessError) {}
void ArchiveInstaller::finish(bool, const QString &) {}
