#include "audio/buffer_list.h"

#include <new>

namespace lumvar::audio {

BufferListStorage::BufferListStorage(std::uint32_t count) {
    const std::size_t bytes = bufferListSize(count);
    storage_ = std::make_unique<std::max_align_t[]>((bytes + sizeof(std::max_align_t) - 1) /
                                                    sizeof(std::max_align_t));
    auto* list = new (storage_.get()) AudioBufferList{};
    list->mNumberBuffers = count;
    for (AudioBuffer& buffer : buffersOf(*list, count)) new (&buffer) AudioBuffer{};
}

AudioBuffer& BufferListStorage::buffer(std::uint32_t index) {
    return buffersOf(list(), index + 1)[index];
}

}  // namespace lumvar::audio
