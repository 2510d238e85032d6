#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

// Every key the program keeps in the per-user settings store, with its default: the one
// place a key's name is written. Stored files keep these names, so they never change.
class Config
{
public:
    enum Key {
        CurrentBuild,
        RunOnStartup,
        StartupPosition,
        UpdateCheckInterval,
        UpdateCheckFactor,
        ShowNotifications,
        // The build the user went back from: not fetched again, a newer one is.
        SkippedBuild,
        // The build whose installation failed last, and how often in a row.
        FailedBuild,
        FailedAttempts,
        // An organisation's mirror or cache of the build storage (HTTPS); absent means the
        // public storage.
        BuildStorage,
        // Whether downloads go ahead on a connection NetworkManager calls metered.
        DownloadOnMetered,
        // Whether downloads go ahead on a battery UPower reports below 30 %.
        DownloadOnBattery,
        // The folder the installed browser keeps its profile in (its user data directory):
        // its own, so a snapshot build never opens or upgrades the distribution's Chromium's.
        BrowserProfile,
        // The proxy every request goes through (http://[user:password@]host:port), or
        // "none" for direct; absent leaves it to the desktop and the environment.
        Proxy,
        // An organisation's CA certificates, a PEM file or a folder of them, trusted beside
        // the system's for Tarrowin's own connections.
        CaCertificates,
        // How many builds are kept besides pinned ones and those a running browser uses.
        KeepBuilds,
        // Builds never removed: a list of build numbers.
        PinnedBuilds,
        // The build the update loop stays on instead of following the newest; -1 for none.
        StayOnBuild,
        // The most bytes a bisect's fetched builds may take; the last few stay whatever they take.
        BisectCacheSize,
    };

    static QString name(Key key);
    // What an absent key stands for; invalid where absence means something of its own.
    static QVariant defaultValue(Key key);

    // Through a fresh accessor each time, so every instance and the view see each other's
    // writes at once.
    static QVariant get(Key key);
    static bool contains(Key key);
    static void set(Key key, const QVariant &value);
    static void remove(Key key);
    // Writes and flushes at once. Empty on success, else the store's file name: a value
    // that never reached the disk must be reported rather than ignored.
    static QString save(const QList<QPair<Key, QVariant>> &values);

    // For the view: every key under its own name, so a misspelt one reads as undefined
    // instead of silently naming a key nobody else uses; and every default under it.
    static QVariantMap names();
    static QVariantMap defaults();
};
