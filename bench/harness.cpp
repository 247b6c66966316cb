#include "harness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bench {

double now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

Settings& settings()
{
    static Settings instance;
    return instance;
}

Stats statsOf(std::vector<double> values)
{
    Stats stats;
    if (values.empty()) return stats;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    stats.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    stats.min = values.front();
    stats.max = values.back();
    stats.valid = true;
    return stats;
}

int calibrate(const Batch& batch)
{
    const Settings& s = settings();
    // Grow the batch until it takes a tenth of the aim, then scale it to the aim.
    for (int n = 1;;) {
        double seconds = batch(n);
        if (seconds < 0) return 0;
        if (seconds >= s.batchSeconds / 10 || n >= s.maxCalls) {
            double perCall = seconds / n;
            double wanted = perCall > 0 ? s.batchSeconds / perCall : s.maxCalls;
            return static_cast<int>(std::max(1.0, std::min<double>(wanted, s.maxCalls)));
        }
        n = std::min(n * 4, s.maxCalls);
    }
}

void measure(std::vector<Side>& sides, int n)
{
    for (Side& side : sides) side.perCall.clear();
    for (int repetition = 0; repetition < settings().repetitions; ++repetition) {
        for (size_t k = 0; k < sides.size(); ++k) {
            Side& side = sides[(k + static_cast<size_t>(repetition)) % sides.size()];
            if (side.failed || !side.batch) continue;
            double seconds = side.batch(n);
            if (seconds < 0) {
                side.failed = true;
                continue;
            }
            side.perCall.push_back(seconds / n);
        }
    }
}

Stats pairedRatio(const Side& a, const Side& b)
{
    std::vector<double> ratios;
    size_t n = std::min(a.perCall.size(), b.perCall.size());
    for (size_t i = 0; i < n; ++i)
        if (b.perCall[i] > 0) ratios.push_back(a.perCall[i] / b.perCall[i]);
    return statsOf(ratios);
}

std::string formatNumber(double value, int precision)
{
    if (precision < 0) {
        // Three significant digits, no exponent.
        double magnitude = std::fabs(value);
        precision = magnitude >= 100 ? 0 : magnitude >= 10 ? 1 : magnitude >= 1 ? 2 : 3;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", precision, value);
    return text;
}

std::string formatStats(const Stats& stats, double scale, int precision)
{
    if (!stats.valid) return "-";
    return formatNumber(stats.median * scale, precision) + " (" + formatNumber(stats.min * scale, precision) + "-" +
           formatNumber(stats.max * scale, precision) + ")";
}

}  // namespace bench
