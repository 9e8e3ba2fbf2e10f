#include "probed_route.h"

#include <cstdio>
#include <memory>

namespace vireko::testing {

std::optional<std::string> otherRouteThan(beep::Route needed) {
    std::unique_ptr<FILE, int (*)(FILE*)> probe(popen(VIREKO_BEEP_PROBE " --route", "r"), pclose);
    char line[64] = {};
    if (!probe || std::fgets(line, sizeof line, probe.get()) == nullptr)
        return std::string("beep-probe --route said nothing");
    std::string key(line);
    while (!key.empty() && (key.back() == '\n' || key.back() == ' ')) key.pop_back();
    const std::optional<beep::Route> taken = beep::routeFromKey(key);
    if (taken == needed) return std::nullopt;
    return "this test needs the way \"" + std::string(beep::routeName(needed)) +
           "\", and the library takes \"" +
           (taken ? std::string(beep::routeName(*taken)) : "'" + key + "'") + "\" here";
}

}  // namespace vireko::testing
