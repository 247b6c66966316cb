// Timing for the benchmark: batches of calls timed with the performance
// counter, repeated, with the sides of a comparison interleaved so that a
// drift of the machine (another process, the emulator's code cache) falls on
// both alike.
#ifndef ZARN_BENCH_HARNESS_H
#define ZARN_BENCH_HARNESS_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace bench {

// Seconds since an arbitrary start, from the performance counter.
double now();

// Runs n operations and returns the seconds they took (set-up excluded), or a
// negative value when an operation failed.
using Batch = std::function<double(int n)>;

struct Settings {
    int repetitions = 5;
    double batchSeconds = 0.1;  // the time one timed batch aims at
    int maxCalls = 200000;      // per batch
};
Settings& settings();

struct Stats {
    double median = 0, min = 0, max = 0;
    bool valid = false;
};
Stats statsOf(std::vector<double> values);

// One measured side per batch; perCall holds seconds per operation for each repetition.
struct Side {
    std::string name;
    Batch batch;
    std::vector<double> perCall;
    bool failed = false;
};

// The number of operations per batch that makes the first side take about
// settings().batchSeconds; 0 when that side fails.
int calibrate(const Batch& batch);

// Runs every side settings().repetitions times with n operations per batch,
// rotating their order from one repetition to the next. A side that fails is
// marked and not run again.
void measure(std::vector<Side>& sides, int n);

// Ratios sides[a].perCall[i] / sides[b].perCall[i], repetition by repetition.
Stats pairedRatio(const Side& a, const Side& b);

// "12.3 (11.9-13.0)": a median with its spread, in the unit's scale.
std::string formatStats(const Stats& stats, double scale, int precision = -1);
std::string formatNumber(double value, int precision = -1);

}  // namespace bench

#endif
