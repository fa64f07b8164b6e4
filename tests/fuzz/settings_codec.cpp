// The settings codec. Decoding reads text as formatted boolean input from a
// stream with default settings would, so a standard stream is the reference
// for any bytes; and what the codec writes reads back as what was written.
// Only its own four files encode back to their bytes: " 1 0" reads as "1 0".
#include "app/settings.h"
#include "feed.h"

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool own = size == 3 && (text[0] | 1) == '1' && text[1] == ' ' && (text[2] | 1) == '1';
    for (int before = 0; before < 4; ++before) {
        bool killSwitch = before & 1, autostart = before & 2;
        decodeSettings(text, killSwitch, autostart);
        bool k = before & 1, a = before & 2;
        std::istringstream stream(text);
        if (stream >> k) stream >> a;
        require(killSwitch == k && autostart == a);
        if (own) require(encodeSettings(killSwitch, autostart) == text);
        // Each of the four files decodes to its flags, whatever they were before.
        bool k2 = !(before & 1), a2 = !(before & 2);
        decodeSettings(encodeSettings(before & 1, before & 2), k2, a2);
        require(k2 == bool(before & 1) && a2 == bool(before & 2));
    }
    return 0;
}
