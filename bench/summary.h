// The median and the worst of a series of figures, as the benchmarks print them.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace vireko::bench {

struct Summary {
    double median = NAN, worst = NAN, best = NAN;
};

inline Summary summarise(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.back(), values.front()};
}

}  // namespace vireko::bench
