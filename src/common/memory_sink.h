#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/byte_sink.h"

namespace lumvar {

// Keeps every chunk, for tests. Thread-safe so that a callback thread may write into it.
class MemorySink final : public ByteSink {
  public:
    bool write(std::span<const std::byte> bytes) override;
    using ByteSink::write;

    std::string text() const;                 // all bytes so far, concatenated
    std::vector<std::string> chunks() const;  // one entry per write call
    std::vector<float> floats() const;        // all bytes read as native floats (whole ones only)
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> chunks_;
};

// Counts and drops; never allocates.
class NullSink final : public ByteSink {
  public:
    bool write(std::span<const std::byte> bytes) override {
        bytes_ += bytes.size();
        ++writes_;
        return true;
    }
    using ByteSink::write;

    std::uint64_t bytes() const { return bytes_; }
    std::uint64_t writes() const { return writes_; }

  private:
    std::uint64_t bytes_ = 0;
    std::uint64_t writes_ = 0;
};

}  // namespace lumvar
