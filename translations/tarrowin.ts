<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>ArchiveInstaller</name>
    <message>
        <source>The new build did not start: it did not answer in time</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The download could not be unpacked: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The new build did not start: exit code %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The new build did not start: it crashed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The new build did not start: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The new build could not be put in place: %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ChromeDownloader</name>
    <message>
        <source>Cannot save settings to %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot write to %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: the file is larger than 2 GiB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not enough disk space in %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot write the download to %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: the transfer stayed below 1 KiB/s</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: refused redirect to %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: too many redirects</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: HTTP %1 %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot write the download: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: received %1 of %2 bytes</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The download did not match the storage&apos;s checksum</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: the transfer ended without a length or checksum to prove it complete</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The installer could not be started: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The installer crashed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The installer failed with exit code %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CommandLine</name>
    <message>
        <source>Show this help and exit.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show the version and exit.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Keeps a locally installed Chromium at the newest snapshot build.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start in the tray without showing the window; /tray does the same.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>DesktopNotifier</name>
    <message>
        <source>Open</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>Chromium build %1 was not installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Finishing the installation of build %1 …</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;Open</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Go back to build %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;Exit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 MB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Idle</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Downloading</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>A Quillmarsh utility
Lead developer: the Quillmarsh team</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unknown</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Current version:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Check for a new build</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No Chromium builds for this platform</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Checking ...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Latest version:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Status:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>File size:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download progress</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Check for Chromium builds every</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Time frame</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Run on startup</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show notifications</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>There is a new version of Tarrowin available.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download Update</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>minutes</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>hours</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>days</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium&apos;s sandbox is blocked on this system</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium (snapshot)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Downloading Chromium build %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Downloading ...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installing Chromium build %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installing ...</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
