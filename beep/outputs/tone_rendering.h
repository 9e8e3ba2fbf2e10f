// An output that renders the tone itself, on the sound server's own thread, from changes of
// tone placed at frames of its stream: nothing is written to it, rewound or queued.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace beep {

class ToneRendering {
public:
    // The change to `tone` (nothing: the gate closes) at `frame`, after every change placed
    // before. False, with nothing placed, while too many changes wait to be reached.
    virtual bool place(std::size_t frame, std::optional<std::uint32_t> tone) = 0;
    // How much later than placed, in frames and in all, the changes of this stream were
    // applied: a change placed in a cycle already begun is applied at the next one.
    virtual std::size_t lateFrames() const = 0;
    // Frames rendered that have gone on to the device since.
    virtual std::size_t heardFrames() const = 0;
    // Every change placed has been applied, the tone is silent, and it has been for `silence`
    // frames at the device.
    virtual bool heardOut(std::size_t silence) const = 0;

protected:
    ~ToneRendering() = default;
};

}  // namespace beep
