#pragma once

#include <string>

// What tarrowin-sandbox-helper does as root, without Qt (whose start-up reads the
// environment): checks the browser path it was handed by walking it from / through
// descriptors, builds the AppArmor profile from exactly the root string that passed, and
// replaces the profile file whole or not at all, keeping the earlier bytes to put back.
class ProfileWriter
{
public:
    static constexpr char helperName[] = "tarrowin-sandbox-helper";
    static constexpr char defaultDirectory[] = "/etc/apparmor.d";
    // The helper's exit statuses.
    enum Status { Done = 0, Usage = 1, Refused = 2, NotWritten = 3, NotLoaded = 4 };

    // directory: an open descriptor of the profile folder, owned by the caller.
    ProfileWriter(int directory, unsigned uid);

    // "tarrowin-chromium-<uid>": one profile per user.
    static std::string name(unsigned uid);
    // Why browser is not a versions/<N>/chrome or bisect-cache/<N>/chrome below an install
    // root that uid owns, reached without a link, named by plain characters alone; empty when
    // it is. Sets *root to the root exactly as it was checked.
    static std::string refusal(const std::string &browser, unsigned uid, std::string *root);
    // The one profile that lets root's installed builds and its bisect's sandbox themselves:
    // it attaches to <root>/{versions,bisect-cache}/*/chrome.
    static std::string text(unsigned uid, const std::string &root);
    // Why text is not the one profile for root's builds alone; empty when it is.
    static std::string textRefusal(const std::string &text, unsigned uid, const std::string &root);

    // Checks browser and writes the profile naming its root: Done, or Refused or NotWritten
    // with *message saying why. A failed write leaves the earlier profile as it was.
    Status write(const std::string &browser, std::string *message);
    // Puts back the profile that was there before write(), or removes the new one where
    // there was none.
    bool restore(std::string *message);

private:
    bool keepEarlier(std::string *message);
    // Writes bytes to a hidden file beside the profile, syncs it and renames it over.
    bool replace(const std::string &bytes, std::string *message);

    int m_directory;
    unsigned m_uid;
    std::string m_earlier;
    bool m_hadEarlier = false;
};
