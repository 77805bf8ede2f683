// The engine's sharing settings: <engine folder>config/sharing.conf, read when the engine
// starts. One key=value a line, '#' begins a comment; an unknown key is noted and ignored, a
// malformed value is noted and its default kept, so a bad line never turns anything on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tev::localengine {

struct SharingSettings {
    // Off: no session at all, so no listening socket, no peer connection and no torrent looked
    // for.
    bool sharing = true;
    // A finished file is served until either is reached.
    double ratio = 1.0;
    uint32_t minutes = 30;
    // Upload cap in KiB/s; 0 means no upload at all.
    uint64_t uploadKib = 1024;
    // Where peers may connect, "ip:port" or "[ipv6]:port" each.
    std::vector<std::string> listen = {"0.0.0.0:6881", "[::]:6881"};
    bool dht = false;
    bool lsd = false;
    bool upnp = false;
    bool natpmp = false;
};

// Parses the file's text. Every line that is ignored or refused adds a note for the log.
SharingSettings ParseSharingSettings(std::string_view text, std::vector<std::string>* notes);

// Reads the file at path (a missing file gives the defaults; a link, something other than a
// plain file, or a file over 64 KiB is refused with a note and gives the defaults).
SharingSettings LoadSharingSettings(const std::string& path, std::vector<std::string>* notes);

// The file's text with sharing= set, every other line kept as it was.
std::string WithSharing(std::string_view text, bool on);

// Writes sharing= into the file at path, creating its folder and the file (0600) as needed, and
// replacing the file whole (written beside it, then renamed). False with a reason on failure.
bool WriteSharingSetting(const std::string& path, bool on, std::string* error);

// The sharing file of an engine folder (ending in '/').
inline std::string SharingSettingsPath(const std::string& engineFolder) {
    return engineFolder + "config/sharing.conf";
}

}  // namespace tev::localengine
