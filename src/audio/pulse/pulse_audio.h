#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "audio/platform_audio.h"
#include "audio/pulse/pulse_connection.h"
#include "audio/pulse/record_stream.h"

namespace lumvar::audio::pulse {

// The platform audio system on a PulseAudio server (or PipeWire's pulse server):
// - the system object lists every sink and every source as a device, each under an id that stays the
//   same for the life of the process, across reconnections too; the UID is the sink's or source's
//   name, the name its description;
// - a process tap records the monitor of the default sink at the time the tap is created;
// - an aggregate device carries one tap; its IO callback is a record stream on the tap's monitor;
// - an input device's IO callback is a record stream on that source in its own format;
// - property reads are answered from the server's model, which its change events keep current;
//   reads of the device list and the defaults first make one round trip, so they see every change
//   the server announced before them;
// - listeners are called from the server's events: the device list, the defaults, a device in use
//   that went away or whose stream ended, and the connection itself.
// Its operations are called from one thread (the main queue); IO blocks and listeners run on the
// loop's thread.
class PulseAudio final : public PlatformAudio, private PulseConnection::Observer {
public:
    explicit PulseAudio(const Text& text);
    ~PulseAudio() override;

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t& ioSize,
                             void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size,
                             const void* data) override;
    std::string takeString(StringRef string) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tapID) override;
    OSStatus createAggregateDevice(const AggregateDescription& description, AudioObjectID& outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
    OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                     AudioDeviceIOBlock block) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override;
    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 AudioObjectPropertyListenerBlock block, PropertyListenerID& outID) override;
    OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    PropertyListenerID id) override;

private:
    struct DeviceKey {
        bool isSink;
        std::string name;
        auto operator<=>(const DeviceKey&) const = default;
    };
    struct Tap {
        std::string uid;
        std::string sink;
        std::string monitorSource;
        std::uint32_t rate = 0;
    };
    struct Aggregate {
        std::string uid;
        std::string name;
        AudioObjectID tapID = 0;
        double rate = 0.0;
    };
    struct Proc {
        AudioObjectID device = 0;
        AudioDeviceIOBlock block;
        std::unique_ptr<RecordStream> stream;
    };
    struct Listener {
        AudioObjectID object = 0;
        AudioObjectPropertyAddress address;
        AudioObjectPropertyListenerBlock block;
    };

    // Lock held for all of these: they read the model.
    AudioObjectID idFor(const DeviceKey& key);
    const DeviceInfo* deviceFor(AudioObjectID id) const;
    bool alive(AudioObjectID object) const;
    OSStatus readSystem(FourCharCode selector, std::uint32_t& ioSize, void* outData);
    OSStatus readDevice(const DeviceInfo& device, const AudioObjectPropertyAddress& address, std::uint32_t& ioSize,
                        void* outData);
    OSStatus readAggregate(AudioObjectID id, const Aggregate& aggregate, const AudioObjectPropertyAddress& address,
                           std::uint32_t& ioSize, void* outData);
    std::vector<AudioObjectID> deviceIDs();
    Proc* findProc(AudioObjectID device, AudioDeviceIOProcID procID);

    // The events, on the loop's thread.
    void modelChanged(const ModelChanges& changes) override;
    void connectionChanged(bool connected) override;
    void fire(AudioObjectID object, FourCharCode selector);
    void fireAlive();  // every device that is listened to for it

    // Made before the connection, whose events use them.
    mutable std::mutex eventsMutex_;  // never held while taking the loop's lock
    std::map<std::uintptr_t, Listener> listeners_;
    std::uintptr_t nextListener_ = 1;
    std::set<AudioObjectID> ended_;  // devices and aggregates whose stream ended under them

    PulseConnection connection_;
    AudioObjectID nextID_ = 16;
    std::map<DeviceKey, AudioObjectID> ids_;
    std::map<AudioObjectID, DeviceKey> keys_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::map<std::uintptr_t, Proc> procs_;
    std::uintptr_t nextProc_ = 1;
};

}  // namespace lumvar::audio::pulse
