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

    // "tarrowin-chromium-<uid>": one profile per user.
    static QString name(uint uid);
    // <directory>/<name(uid)>: where uid's profile lies.
    static QString path(const QString &directory, uint uid);
    // The browser files the profile names: <root>/versions/*/chrome, the root resolved
    // (AppArmor matches the real path), or empty where root has none.
    static QString attachment(const QString &root);

    // Whether <directory> holds uid's profile naming root's builds.
    static bool covers(const QString &directory, uint uid, const QString &root);
    // Whether the system's profile directory holds this user's profile naming root's builds.
    static bool coversOwnBuilds(const QString &root);
};
