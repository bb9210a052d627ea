#pragma once

#include <cstdint>
#include <memory>

#include "audio/audio_types.h"

namespace lumvar::audio {

// Owns the storage of an AudioBufferList with a fixed number of buffers; the sample data stays
// wherever each buffer's mData points.
class BufferListStorage {
  public:
    explicit BufferListStorage(std::uint32_t count);

    AudioBufferList& list() { return *reinterpret_cast<AudioBufferList*>(storage_.get()); }
    const AudioBufferList& list() const { return *reinterpret_cast<const AudioBufferList*>(storage_.get()); }
    AudioBuffer& buffer(std::uint32_t index);

  private:
    std::unique_ptr<std::max_align_t[]> storage_;
};

}  // namespace lumvar::audio
