// SHA-256 (FIPS 180-4) of a stream of bytes, as a drain of the JSON writer's
// buffer: the formatter's fingerprints are the digests of documents it never
// holds whole, so that checking a result costs memory for its tree only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "native/json_writer.hpp"

namespace dax::fingerprint {

class Sha256 final : public json::Drain {
public:
    Sha256() noexcept;

    void take(std::string_view bytes) override;
    // The digest of everything taken; the object is spent afterwards.
    std::array<unsigned char, 32> finish() noexcept;

private:
    void block(const unsigned char* data) noexcept;

    std::array<std::uint32_t, 8> state_;
    std::array<unsigned char, 64> pending_{};
    std::size_t pending_size_ = 0;
    std::uint64_t length_ = 0;  // bytes taken
};

}  // namespace dax::fingerprint
