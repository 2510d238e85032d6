#pragma once

#include <QString>

// The AppArmor profile that lets the Chromium builds of one user's install root create the
// user namespaces their sandbox needs, where the system allows them only to programs a
// profile names (Ubuntu 23.10 and later). Written as root by tarrowin-sandbox-helper, in the
// form the distribution uses for browsers in /opt; read by the program to learn whether the
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
    static QString text(uint uid, const QString &root);

    // Why browser is not a `versions/<N>/chrome` below an install root that uid owns, or
    // where a profile could not name it safely; empty when it is. Sets *root to the
    // resolved root.
    static QString refusal(const QString &browser, uint uid, QString *root);

    // Replaces <directory>/<name(uid)> in one rename, so that the parser never reads half
    // a profile. Empty on success, or why not.
    static QString write(const QString &directory, uint uid, const QString &root);

    // Whether <directory> holds uid's profile naming root's builds.
    static bool covers(const QString &directory, uint uid, const QString &root);
    // Whether the system's profile directory holds this user's profile naming root's builds.
    static bool coversOwnBuilds(const QString &root);
};
