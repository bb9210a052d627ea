#include "audio/buffer_list.h"

#include <new>

namespace lumvar::audio {

BufferListStorage::BufferListStorage(std::uint32_t count) {
    const std::size_t bytes = bufferListSize(count);
    storage_ = std::make_unique<std::max_align_t[]>((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* list = new (storage_.get()) AudioBufferList{};
    list->mNumberBuffers = count;
    auto* first = reinterpret_cast<AudioBuffer*>(reinterpret_cast<std::byte*>(list) + offsetof(AudioBufferList, mBuffers));
    for (std::uint32_t i = 0; i < count; ++i) new (first + i) AudioBuffer{};
}

AudioBuffer& BufferListStorage::buffer(std::uint32_t index) {
    auto* first =
        reinterpret_cast<AudioBuffer*>(reinterpret_cast<std::byte*>(storage_.get()) + offsetof(AudioBufferList, mBuffers));
    return first[index];
}

}  // namespace lumvar::audio
