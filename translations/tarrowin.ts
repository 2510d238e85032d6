<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>ArchiveFetch</name>
    <message>
        <source>Cannot write the download to %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot write the download: %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
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
    <message>
        <source>Cannot save settings to %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ArchiveUnpacker</name>
    <message>
        <source>The archive has more than %1 entries</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive contains an entry without a usable name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive contains a link or special file: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive contains an encrypted entry: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive nests folders too deeply: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive contains an unsafe path: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive contains an entry outside %1/</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive lists %1 twice</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive is damaged: %1 has no valid size</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive unpacks to more than %1 bytes</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Out of memory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive is damaged or not a zip archive: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive is damaged: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive is damaged</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot create</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot set the mode of</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancelled</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive is damaged: %1 has gaps</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive is damaged: %1 is larger than it says</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive is damaged: %1 is shorter than it says</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot write</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot open</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive has no executable %1/chrome</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No top folder to unpack</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The destination already exists: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its central directory is too large</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it is cut short</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its central directory is not where it says</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it is shorter than its last bytes</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it has no end of central directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it spans several disks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its central directory is cut short</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its central directory holds more than its entries</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>an entry lies beyond the central directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>two entries begin at the same offset</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>entries overlap</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The archive is in the ZIP64 format, which this reader does not take</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot open the archive</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 is compressed in a way this unpacker does not take</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>There is not enough free space to unpack the build: it needs %1 MB, %2 MB are free</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the header of %1 is cut short</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the local header of %1 differs from its listing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 runs into the next entry</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 fails its CRC check</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 cannot be inflated</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 does not end where it says</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot read</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it ends inside %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot unpack this archive: the library libarchive is missing (%1)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot unpack this archive: the library libarchive lacks a function (%1)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BisectActions</name>
    <message>
        <source>The bisect of builds %1 was interrupted at build %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Looking for the builds between them …</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Fetching the build to test …</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The bisect cannot go on: another one is under way, or its state is gone</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Starting build %1 …</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Looking up the change log …</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Fetching build %1 …</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Another bisect is under way</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is kept and pinned</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>Testing build %1: at most %n steps left</source>
        <translation type="unfinished">
            <numerusform></numerusform>
        </translation>
    </message>
    <message>
        <source>The last bisect is still ending: try again in a moment</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BisectCache</name>
    <message>
        <source>Build %1 is not in the bisect&apos;s cache</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot save settings to %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BisectFetch</name>
    <message>
        <source>The build storage has no archive of build %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot write to %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BisectJob</name>
    <message>
        <source>First bad build: %1 (last good build: %2)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>--bisect needs --bisect-run=COMMAND, run for each step</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The command could not be started: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The command ended the bisect at build %1 (exit code %2); run the same --bisect again to go on</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BisectPanel</name>
    <message>
        <source>Good:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Good build</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bad:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bad build</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Test on a copy of my profile</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Change log</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Good</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bad</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Skip</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Go on</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Keep build %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Done</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stop</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Close</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BisectSession</name>
    <message>
        <source>Build %1 could not be fetched: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The change is between build %1 (good) and build %2 (bad)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Another bisect is under way</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>There is no previous build to start from: give GOOD..BAD</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&quot;%1&quot; is no range of builds: give GOOD..BAD, such as 1350000..1360000</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is not published</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The good build %1 is not below the bad build %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No published build lies between build %1 and build %2</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BuildActions</name>
    <message>
        <source>current</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>pinned</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>in use</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 MB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not start the browser</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Give a build number, a version, a milestone (M131) or a date</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installing %1 ...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is not installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quit Chromium first: build %1 cannot open the profile while another build has it open</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BuildChoice</name>
    <message>
        <source>&quot;%1&quot; names no build: give a build number, a version such as 131.0.6778.85, a milestone such as M131 or a day such as 2026-11-01</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is not published, nor any build below it</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No build was published on or before %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No build of %1 is published</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is the trunk build at %2&apos;s branch point, without the release&apos;s later fixes.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BuildJob</name>
    <message>
        <source>Cannot save settings to %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The storage has no archive of build %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The request is too long to hand to the running Tarrowin: at most %1 bytes</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BuildListModel</name>
    <message>
        <source>Cannot save settings to %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BuildsTab</name>
    <message>
        <source>Builds</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installed builds</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Make current</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unpin</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Pin</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Remove</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Number, version, M131 or date</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build to install</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Install build…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Install build</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Find the build that broke it…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Find the build that broke it</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CatalogFetch</name>
    <message>
        <source>HTTP %1 to the request for its end</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its end was longer than asked for</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>received %1 of %2 bytes of its end</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its catalog does not lie in its last %1 bytes</source>
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
        <source>Download failed: the build storage has no archive of build %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Only unpacked builds can be installed beside the current one</source>
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
    <message>
        <source>Copy the stores of the browser profile in &lt;folder&gt; before a newer Chromium opens it, and exit (the browser&apos;s launcher does this).</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>List the installed builds, one a line: number, version and marks (current, pinned, running), tab-separated.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Install the published build &lt;build&gt; names beside the current one and pin it: a build number (the newest published at or below it), a Chromium version (131.0.6778.85), a milestone (M131) or a day (2026-11-01, UTC). Prints &quot;Build N is installed&quot;.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Find the first bad published build between the good build GOOD and the bad build BAD (each a number, version, milestone or day; empty: the previous and the current build), running the command --bisect-run names for each step. Prints a line a step and &quot;First bad build: B (last good build: A)&quot; with the change log.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The command --bisect runs for each step through /bin/sh, %p standing for the step&apos;s chrome and %b for its build number; its exit code is the verdict: 0 good, 125 skip, 1-127 bad, 128 and above ends the bisect.</source>
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
    <name>InstallRoot</name>
    <message>
        <source>The unpacked build is missing: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is the one in use and is not replaced.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not create %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not remove %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not move %1 aside.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not move %1 aside: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not move the build to %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not point %1 at build %2: %3</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unpacked builds are not supported on this system.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>There is no previous build to go back to.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is current already</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is not installed</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>InstallerRun</name>
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
    <name>KeptVersions</name>
    <message>
        <source>Build %1 is not installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is current: make another build current first</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is in use by a running browser</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not remove all of %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>MirrorCheck</name>
    <message>
        <source>The mirror&apos;s copy of build %1 does not match the build storage</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>PipelinedInstall</name>
    <message>
        <source>the download started over</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the source serves no ranges of it</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its file cannot be read</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its catalog could not be read: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its end is not what its catalog was read from</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it could not be unpacked again: %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ProfileGuard</name>
    <message>
        <source>This profile was last used by Chromium %1. Build %2 is Chromium %3.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Restore the profile from Chromium %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The profile was not restored: %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ProfileSnapshots</name>
    <message>
        <source>The profile names no Chromium version</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium is running</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot copy the profile to %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quit Chromium first</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>There is no copy of the profile from Chromium %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot keep the profile aside in %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not every store could be restored; the profile as it was is in %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium is running from %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot open %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 exists already</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium was started from %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot copy %1 to %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Profile copies are not available on this system</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Profile snapshots are not available on this system</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not enough space: the copy needs %1 MB, %2 MB are free</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not every store could be restored; the profile is as it was</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ProxyChoice</name>
    <message>
        <source>The proxy %1 cannot be used: Tarrowin talks to proxies over http://</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The proxy %1 wants Kerberos: run kinit, then Check again</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The proxy %1 asks for a user and password (%2)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The proxy %1 refused the credentials (%2)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ProxyPrompt</name>
    <message>
        <source>The proxy %1 refused the user and password for “%2”. Try again:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The proxy %1 asks for a user and password for “%2”:</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ProxyQuestion</name>
    <message>
        <source>User</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Proxy user</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Password</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Proxy password</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Remember</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Remember in the keychain</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>PublishedBuilds</name>
    <message>
        <source>HTTP status %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The storage&apos;s list of builds could not be read: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The storage&apos;s list of builds could not be read: it is not valid JSON</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The storage&apos;s list of builds could not be read: it does not end</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RangeFetch</name>
    <message>
        <source>Download failed: HTTP %1 to a range request</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: a range was longer than asked for</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: received %1 of %2 bytes</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ReleasesService</name>
    <message>
        <source>The releases service cannot be reached: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The releases service does not know version %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The releases service does not know milestone M%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The releases service cannot be reached: HTTP status %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The releases service&apos;s answer could not be read</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RestoreJournal</name>
    <message>
        <source>A restore of the profile was cut short, and the profile as it was (%1) is gone</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>A restore of the profile was cut short, and the profile could not be put back as %1 has it</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SandboxPermission</name>
    <message>
        <source>The sandbox helper is not installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>pkexec is not installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not authorised</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The sandbox helper failed</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SettingsTab</name>
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
        <source>Download on metered connections</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download on battery</source>
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
</context>
<context>
    <name>SingleInstance</name>
    <message>
        <source>The running Tarrowin ended before the job did</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>StatusTab</name>
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
        <source>Next check:</source>
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
</context>
<context>
    <name>StepLauncher</name>
    <message>
        <source>Could not start %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>A step is under way already</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>There is no Chromium in %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>There is no profile to copy at %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The profile was not copied</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot make a profile in %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bisect steps are not available on this system</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The profile was not copied: %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SystemTrayIcon</name>
    <message>
        <source>Update available</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>There is a new version of Tarrowin available.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TlsTrust</name>
    <message>
        <source>The build storage&apos;s certificate (issued by %1) is not trusted on this computer</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>an unnamed issuer</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TransferGuard</name>
    <message>
        <source>Download failed: the file is larger than 2 GiB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not enough disk space in %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: the transfer stayed below 1 KiB/s</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TransferRequest</name>
    <message>
        <source>Download failed: HTTP %1 %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: received %1 of %2 bytes</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: too many redirects</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: refused redirect to %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TransferVerdict</name>
    <message>
        <source>The download did not match the storage&apos;s checksum</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Download failed: the transfer ended without a length or checksum to prove it complete</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>UpdateNotifier</name>
    <message>
        <source>Cannot check for Chromium builds</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot reach the build storage: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The build storage answered %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The build storage answered without a build number</source>
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
    <message>
        <source>Downloading Chromium build %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Downloading ...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium build %1 was not installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium build %1 is installed.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium build %1 is installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium&apos;s sandbox is blocked on this system</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium&apos;s sandbox is blocked on this system: kernel.unprivileged_userns_clone is 0 (see Tarrowin&apos;s README)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium&apos;s sandbox is blocked on this system: user.max_user_namespaces is 0 (see Tarrowin&apos;s README)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium (snapshot)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Allow Chromium&apos;s sandbox…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium can now sandbox itself.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium&apos;s sandbox is allowed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium&apos;s sandbox is still blocked</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Finishing the installation of build %1 …</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Waiting for an unmetered connection</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 is not published yet; installing build %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium build %1 is installed. Relaunch Chromium to use it.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Relaunch</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not now</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open anyway</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Go back to build %1?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium (snapshot) keeps a profile of its own. Your Chromium profile can be copied into it; it stays as it is.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy my Chromium profile</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copying your Chromium profile … %1%</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Your Chromium profile was not copied: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Your Chromium profile was copied.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Relaunching Chromium …</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium did not quit (a page may ask to stay), so it was not relaunched</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Chromium quit, but the new build could not be started</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Waiting for mains power</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Staying on build %1; newer builds are not installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start build %1?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Find the build that broke it</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Good</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bad</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Skip</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Go on</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>UpdateWords</name>
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
        <source>Downloading, checked against the mirror only</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Installing, checked against the mirror only</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Build %1 was checked against the mirror only</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Tarrowin (No Chromium build installed yet)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Tarrowin (Chromium build %1)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Tarrowin (Chromium build %1: %2)</source>
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
        <source>Return to build %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Relaunch Chromium</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Allow Chromium&apos;s sandbox…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;Exit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Staying on build %1; newer builds are not installed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Follow the newest build</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stay on this build</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>VersionChecker</name>
    <message>
        <source>it stopped answering</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>%1 MB</source>
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
</context>
</TS>
