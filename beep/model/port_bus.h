// One-byte access to the PC's I/O ports: the only thing the speaker functions need.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

namespace beep {

inline constexpr std::uint16_t kCounter2DataPort = 0x42;
inline constexpr std::uint16_t kTimerControlPort = 0x43;
inline constexpr std::uint16_t kSystemControlPort = 0x61;

// One caller at a time: a port sequence (a control word and its two count bytes, or a read of
// port 0x61 and the write back) must not interleave with another, so whoever runs one holds
// sequenceLock() for the whole of it. The speaker operations do; read() and write() take no
// lock of their own.
class PortBus {
public:
    virtual ~PortBus() = default;
    // Nothing where the port could not be read (a /dev/port that stopped answering).
    virtual std::optional<std::uint8_t> read(std::uint16_t port) noexcept = 0;
    virtual void write(std::uint16_t port, std::uint8_t value) noexcept = 0;

    std::mutex& sequenceLock() noexcept { return sequence_; }

private:
    std::mutex sequence_;
};

}  // namespace beep
