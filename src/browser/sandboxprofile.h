#pragma once

#include <QString>

// The AppArmor profile that lets the Chromium builds of one user's install root create the
// user namespaces their sandbox needs, where the system allows them only to programs a
// profile names (Ubuntu 23.10 and later). Written as root by tarrowin-sandbox-helper
// (src/helper, which builds it without Qt); read here by the program to learn whether the
// restriction is lifted for its root.
class SandboxProfile
{
public:
    // What the helper is started as, through pkexec.
    static constexpr char helperName[] = "tarrowin-sandbox-helper";
    static constexpr char defaultDirectory[] = "/etc/apparmor.d";

    // The folders of an install root whose builds the profile names: the installed builds
    // (versions/<N>) and a bisect's (bisect-cache/<N>).
    enum class Folder { Versions, BisectCache };

    // "tarrowin-chromium-<uid>": one profile per user.
    static QString name(uint uid);
    // <directory>/<name(uid)>: where uid's profile lies.
    static QString path(const QString &directory, uint uid);
    // The browser files the profile the helper writes names:
    // <root>/{versions,bisect-cache}/*/chrome, the root resolved (AppArmor matches the real
    // path), or empty where root has none.
    static QString attachment(const QString &root);
    // Where browser lies once resolved, as AppArmor sees it: true, with *root and *folder set,
    // for <root>/versions/<N>/chrome and <root>/bisect-cache/<N>/chrome.
    static bool locate(const QString &browser, QString *root, Folder *folder);

    // Whether <directory> holds uid's profile naming root's builds in folder. A profile
    // written before the bisect's folder was named covers versions/ alone.
    static bool covers(const QString &directory, uint uid, const QString &root,
                       Folder folder = Folder::Versions);
    // Whether the system's profile directory holds this user's profile naming root's builds
    // in folder.
    static bool coversOwnBuilds(const QString &root, Folder folder = Folder::Versions);
};
