#pragma once

#include <string>

namespace lumvar {

// Fresh UUID strings: 36 characters, upper-case hexadecimal in groups of 8-4-4-4-12.
class UuidSource {
  public:
    virtual ~UuidSource() = default;
    virtual std::string next() = 0;
};

// Random (version 4) UUIDs from the system's UUID library.
class RandomUuids final : public UuidSource {
  public:
    std::string next() override;
};

}  // namespace lumvar
