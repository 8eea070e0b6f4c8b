#include "bench/timing.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace qelbench {

namespace {

// The sample below which `share` of the samples lie: 0.5 is the median.
double Quantile(std::vector<double> samples, double share)
{
    if (samples.empty()) return 0;
    size_t rank = static_cast<size_t>(share * (samples.size() - 1) + 0.5);
    std::nth_element(samples.begin(), samples.begin() + rank, samples.end());
    return samples[rank];
}

} // namespace

double NowInMilliseconds()
{
    static const double ticksPerMillisecond = [] {
        LARGE_INTEGER frequency = {};
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerMillisecond;
}

double Median(const std::vector<double>& samples) { return Quantile(samples, 0.5); }

double Ratio(const Comparison& comparison)
{
    double baseline = Median(comparison.baseline);
    return baseline > 0 ? Median(comparison.measured) / baseline : 0;
}

namespace {

void PrintSide(const char* side, const std::vector<double>& samples)
{
    printf("    %-50s %8.3f ms   (quartiles %.3f to %.3f)\n", side, Median(samples), Quantile(samples, 0.25),
           Quantile(samples, 0.75));
}

} // namespace

int Report(const char* what, const char* measuredSide, const char* baselineSide,
           const Comparison& comparison, double bound)
{
    double ratio = Ratio(comparison);
    printf("%s\n", what);
    PrintSide(measuredSide, comparison.measured);
    PrintSide(baselineSide, comparison.baseline);
    printf("    ratio %.3f, bound %.2f: %s   (%zu samples a side)\n", ratio, bound,
           ratio <= bound ? "PASS" : "OVER", comparison.measured.size());
    fflush(stdout);
    return ratio <= bound ? 0 : 1;
}

}  // namespace qelbench
