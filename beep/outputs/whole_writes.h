// Writing a block to a device that may take only part of it for the moment.
#pragma once

#include <sys/types.h>
#include <cerrno>
#include <cstddef>
#include <span>

namespace beep {

// Writes all of `samples`. `write(data, frames)` returns the frames taken, -EAGAIN or 0 where
// the device takes none for the moment, or another negative error, which `recover(error)` may
// mend. Where the device is full, `waitForRoom()` waits a short while, and returns 0, or a
// negative error (an underrun, a suspend) that `recover` may mend too; after `maxWaits` such
// waits the block is given up, so that a device that takes nothing is never spun on. True once
// every frame is written: frames never taken must not be counted as played, or the stream's
// position and its phase would jump.
template <typename Write, typename Recover, typename WaitForRoom>
bool writeWholeBlock(std::span<const float> samples, Write&& write, Recover&& recover,
                     WaitForRoom&& waitForRoom, int maxWaits = 10) {
    std::size_t done = 0;
    int waits = 0;
    while (done < samples.size()) {
        ssize_t written = write(samples.data() + done, samples.size() - done);
        if (written == -EAGAIN || written == 0) {
            if (++waits > maxWaits) return false;
            written = waitForRoom();
            if (written >= 0) continue;
        }
        if (written < 0) {
            if (!recover(static_cast<int>(written))) return false;
            continue;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace beep
