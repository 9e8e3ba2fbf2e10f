// A speaker library that lacks beep_off, for the binding tests.
#include <cstdint>

extern "C" {
__attribute__((visibility("default"))) void beep_freq(std::int32_t) noexcept {}
__attribute__((visibility("default"))) void beep_on() noexcept {}
}
