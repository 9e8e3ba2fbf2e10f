// The pitches the speaker sounds for the counts the tests load, worked out once: the timer's
// 1193180 Hz divided by the count.
#pragma once

namespace vireko::testing {

inline constexpr double kPitchOfCount2711 = 440.1254;    // beep_freq(440)
inline constexpr double kPitchOfCount1355 = 880.5756;    // beep_freq(880)
inline constexpr double kPitchOfCount198 = 6026.1616;    // beep_freq(6000)
inline constexpr double kPitchOfCount79 = 15103.5443;    // beep_freq(15000)

}  // namespace vireko::testing
