#include "support/fakeinstaller.h"

#include <QFile>
#include <QStringList>

namespace {
const QByteArray record = "echo \"$0 $#\" >> \"$TARROWIN_INSTALLER_RECORD\"\n";
}

QByteArray FakeInstaller::exitingWith(int code)
{
    return "#!/bin/sh\n" + record + "exit " + QByteArray::number(code) + "\n";
}

QByteArray FakeInstaller::crashing()
{
    return "#!/bin/sh\n" + record + "kill -SEGV $$\n";
}

QByteArray FakeInstaller::chattering(int mebibytes)
{
    const QByteArray bytes = QByteArray::number(qint64(mebibytes) << 20);
    return "#!/bin/sh\n" + record + "head -c " + bytes + " /dev/zero\nhead -c " + bytes
        + " /dev/zero >&2\nexit 0\n";
}

QByteArray FakeInstaller::waitingForRelease(int code)
{
    // Bounded: gives up after 60 s so a broken test cannot leave it behind for long.
    return "#!/bin/sh\n" + record
        + "i=0\n"
          "while [ ! -e \"$TARROWIN_INSTALLER_RELEASE\" ] && [ $i -lt 600 ]; do\n"
          "  sleep 0.1; i=$((i+1))\n"
          "done\n"
          "exit "
        + QByteArray::number(code) + "\n";
}

bool FakeInstaller::release()
{
    QFile file(qEnvironmentVariable("TARROWIN_INSTALLER_RELEASE"));
    return file.open(QIODevice::WriteOnly);
}

QString FakeInstaller::prepare(const QString &dir)
{
    const QString recordFile = dir + QStringLiteral("/installer-runs.txt");
    QFile::remove(recordFile);
    QFile::remove(dir + QStringLiteral("/installer-release"));
    qputenv("TARROWIN_INSTALLER_RECORD", QFile::encodeName(recordFile));
    qputenv("TARROWIN_INSTALLER_RELEASE",
            QFile::encodeName(dir + QStringLiteral("/installer-release")));
    return recordFile;
}

QStringList FakeInstaller::runs(const QString &recordFile)
{
    QFile file(recordFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
