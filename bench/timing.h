#ifndef QELSETUP_BENCH_TIMING_H
#define QELSETUP_BENCH_TIMING_H

// The benchmark's clock, its samples and the verdict it prints for each comparison.
#include <vector>

namespace qelbench {

double NowInMilliseconds();

template <typename Work>
double TimeOnce(Work work)
{
    double start = NowInMilliseconds();
    work();
    return NowInMilliseconds() - start;
}

double Median(const std::vector<double>& samples);

// The two sides of one comparison.
struct Comparison {
    std::vector<double> measured;
    std::vector<double> baseline;
};

double Ratio(const Comparison& comparison);

// Samples both sides turn about; the side that goes first changes every iteration.
// `reset` runs after each side, outside the timed region.
template <typename Measured, typename Baseline, typename Reset>
Comparison CompareInTurn(int iterations, Measured measured, Baseline baseline, Reset reset)
{
    Comparison comparison;
    for (int i = 0; i < iterations; ++i) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((i + turn) % 2 == 0)
                comparison.measured.push_back(TimeOnce(measured));
            else
                comparison.baseline.push_back(TimeOnce(baseline));
            reset();
        }
    }
    return comparison;
}

// Prints one comparison and its verdict; returns 1 when the ratio is over its bound.
int Report(const char* what, const char* measuredSide, const char* baselineSide,
           const Comparison& comparison, double bound);

}  // namespace qelbench

#endif
