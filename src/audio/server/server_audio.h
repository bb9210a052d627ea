#pragma once

#include <functional>
#include <memory>

#include "audio/platform_audio.h"
#include "audio/server/server_connection.h"

namespace lumvar::audio::server {

// Makes the connection of one kind of sound server, telling `observer` of its events; nullptr when no
// server of that kind is there to try.
using Connect = std::function<std::unique_ptr<ServerConnection>(ServerConnection::Observer& observer)>;

// The platform audio system on the sound server that `connect` reaches; nullptr when it makes no connection.
std::unique_ptr<PlatformAudio> makeServerAudio(const Connect& connect);

}  // namespace lumvar::audio::server
