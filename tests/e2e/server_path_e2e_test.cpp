// Which way the helper reached the server, read from the server's own list of clients: each mode of the
// suite must run on its own path (a mode whose environment never reached the helper would pass every
// other test on the wrong one).
#include <sys/stat.h>
#include <iostream>
#include <sstream>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

struct Connection {
    std::string name;
    bool native = false;  // PipeWire's own protocol, not a pulse client
};

// The server's clients that are the process `pid`. On PipeWire the graph says, read over its native
// socket whatever the mode: a native client's pid is its socket's peer, a pulse client's the one it sent
// (its peer is the pulse server). On PulseAudio, pactl's list.
std::vector<Connection> connectionsOf(pid_t pid) {
    const std::string id = std::to_string(pid);
    const auto text = [](const nlohmann::json& properties, const char* key) {  // pw-dump writes numbers
        const auto at = properties.find(key);
        if (at == properties.end()) return std::string();
        return at->is_string() ? at->get<std::string>() : at->dump();
    };
    std::vector<Connection> found;
    if (soundServerKind() == "pulseaudio") {
        const auto clients = nlohmann::json::parse(run("pactl -f json list clients"), nullptr, false);
        for (const auto& client : clients.is_array() ? clients : nlohmann::json::array())
            if (text(client.value("properties", nlohmann::json::object()), "application.process.id") == id)
                found.push_back({text(client["properties"], "application.name"), false});
        return found;
    }
    const auto graph = nlohmann::json::parse(
        run("PIPEWIRE_REMOTE=" + soundDir() + "/runtime/pipewire-0 pw-dump"), nullptr, false);
    for (const auto& object : graph.is_array() ? graph : nlohmann::json::array()) {
        if (object.value("type", "") != "PipeWire:Interface:Client" || !object["info"].is_object()) continue;
        const auto properties = object["info"].value("props", nlohmann::json::object());
        const bool pulse = text(properties, "client.api") == "pipewire-pulse" ||
                           text(properties, "pipewire.protocol") == "protocol-pulse";
        const bool native = !pulse && text(properties, "pipewire.protocol") == "protocol-native";
        if (text(properties, pulse ? "application.process.id" : "pipewire.sec.pid") == id)
            found.push_back({text(properties, "application.name"), native});
    }
    return found;
}

std::string environmentOf(pid_t pid, const std::string& name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ");
    for (std::string entry; std::getline(file, entry, '\0');)
        if (entry.starts_with(name + "=")) return entry.substr(name.size() + 1);
    return "(unset)";
}

TEST(ServerPathE2E, TheHelperReachesTheServerTheWayItsModeSays) {
    ChildProcess helper = streamingHelper();
    ASSERT_EQ(helper.readStdout(8, 5s).size(), 8u) << helper.stderrSoFar();
    const bool native = soundMode() == "pipewire-native";

    // The mode's environment reached the helper: the native socket given, or hidden behind one that
    // does not exist.
    const std::string remote = environmentOf(helper.pid(), "PIPEWIRE_REMOTE");
    struct stat status {};
    EXPECT_EQ(remote, soundDir() + (native ? "/runtime/pipewire-0" : "/no-pipewire"));
    EXPECT_EQ(::stat(remote.c_str(), &status) == 0 && S_ISSOCK(status.st_mode), native) << remote;
    EXPECT_EQ(environmentOf(helper.pid(), "PULSE_SERVER"), "unix:" + soundDir() + "/native");

    // On the mode's kind of server (a restart in an earlier test starts the same kind again).
    const auto info = nlohmann::json::parse(run("pactl -f json info"), nullptr, false);
    const std::string server = info.is_object() ? info.value("server_name", "") : "";
    EXPECT_EQ(server.find("PipeWire") != std::string::npos, soundServerKind() == "pipewire") << server;

    std::vector<Connection> connections;
    for (const auto until = Clock::now() + 5s; connections.empty() && Clock::now() < until;) {
        connections = connectionsOf(helper.pid());
        if (connections.empty()) helper.readStdout(1 << 20, 100ms);
    }
    std::ostringstream seen;
    for (const auto& connection : connections)
        seen << " \"" << connection.name << "\" (" << (connection.native ? "native" : "pulse") << ")";
    std::cout << soundMode() << ": the helper's clients on " << server << ":" << seen.str() << "\n";
    ASSERT_FALSE(connections.empty()) << "no client of the helper's on the server";
    for (const auto& connection : connections) {
        EXPECT_EQ(connection.name, "lumvar-capture");
        EXPECT_EQ(connection.native, native) << soundMode() << ": the helper's clients:" << seen.str();
    }
    endWithSigterm(helper);
}

}  // namespace lumvar::testing
