#include "common/memory_sink.h"

#include <cstring>

namespace lumvar {

bool MemorySink::write(std::span<const std::byte> bytes) {
    std::lock_guard guard(mutex_);
    chunks_.emplace_back(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
}

std::string MemorySink::text() const {
    std::lock_guard guard(mutex_);
    std::string all;
    for (const auto& chunk : chunks_) all += chunk;
    return all;
}

std::vector<std::string> MemorySink::chunks() const {
    std::lock_guard guard(mutex_);
    return chunks_;
}

std::vector<float> MemorySink::floats() const {
    const std::string all = text();
    std::vector<float> values(all.size() / sizeof(float));
    if (!values.empty()) std::memcpy(values.data(), all.data(), values.size() * sizeof(float));
    return values;
}

void MemorySink::clear() {
    std::lock_guard guard(mutex_);
    chunks_.clear();
}

}  // namespace lumvar
