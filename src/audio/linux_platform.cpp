#include <cstdlib>

#include "audio/platform_backend.h"
#include "audio/pulse/pulse_connection.h"
#include "audio/server/server_audio.h"
#include "common/text.h"
#ifdef LUMVAR_PIPEWIRE
#include "audio/pipewire/pipewire_connection.h"
#endif

namespace lumvar::audio {

namespace {
bool named(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}
}  // namespace

// PipeWire natively where a PipeWire daemon is found the way every PipeWire client finds one; otherwise
// the PulseAudio protocol, which PulseAudio and PipeWire's pulse server both speak. A parent that names a
// pulse server (PULSE_SERVER) and no PipeWire daemon (PIPEWIRE_REMOTE) has chosen: that server it is.
std::unique_ptr<PlatformAudio> makePlatformAudio() {
    const Text& text = platformText();
#ifdef LUMVAR_PIPEWIRE
    if (!named("PULSE_SERVER") || named("PIPEWIRE_REMOTE"))
        if (auto native = server::makeServerAudio([&](server::ServerConnection::Observer& observer) {
                return pipewire::connectPipeWire(text, observer);
            }))
            return native;
#endif
    return server::makeServerAudio(
        [&](server::ServerConnection::Observer& observer) { return pulse::connectPulse(text, observer); });
}

}  // namespace lumvar::audio
