#pragma once

// Timings of the plain-line benches: each sample in one unit, reported as its median, 99th
// percentile and maximum.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace sollun::bench {

inline void report(const char* what, std::vector<double> samples, const char* unit = "us") {
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
    };
    std::printf("%-48s n=%zu median=%.3f %s p99=%.3f %s max=%.3f %s\n", what, samples.size(),
                at(0.5), unit, at(0.99), unit, samples.back(), unit);
}

// `rounds` calls of f(round), each timed in microseconds.
template <class F>
std::vector<double> timed(int rounds, F&& f) {
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f(i);
        samples.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    return samples;
}

} // namespace sollun::bench
