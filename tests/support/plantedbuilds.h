#pragma once

#include "install/installroot.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// An unpacked build put straight into the root, as an installation leaves it: an executable
// chrome and the version it said it is. Current when asked, else beside current.
inline bool plantBuild(const InstallRoot &root, int build, const QByteArray &version, bool current)
{
    const std::unique_ptr<QTemporaryDir> staging = root.createStagingDir();
    if (!staging || !staging->isValid())
        return false;
    const QString tree = staging->filePath(QStringLiteral("tree"));
    QFile browser(tree + QStringLiteral("/chrome"));
    QFile said(tree + QStringLiteral("/.tarrowin-version"));
    if (!QDir().mkpath(tree) || !browser.open(QIODevice::WriteOnly)
        || !said.open(QIODevice::WriteOnly))
        return false;
    browser.write("#!/bin/sh\n");
    browser.close();
    browser.setPermissions(browser.permissions() | QFileDevice::ExeOwner);
    said.write(version);
    said.close();
    InstallRoot target = root;
    return current ? target.activate(build, tree) : target.place(build, tree);
}
