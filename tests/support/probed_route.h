// Which way libbeep.so.3 takes to the speaker on this machine, as beep-probe finds it, so that
// a test that needs one way can say so and skip elsewhere (as root beside a real speaker, say).
#pragma once

#include <optional>
#include <string>

#include "speaker_route.h"

namespace vireko::testing {

// Why the library would not take `needed` here, or nothing where it would.
std::optional<std::string> otherRouteThan(beep::Route needed);

}  // namespace vireko::testing
