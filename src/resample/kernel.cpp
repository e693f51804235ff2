#include "resample/kernel.h"

#include <algorithm>
#include <cmath>

namespace Kernel {

namespace {

constexpr double Lobes = 3;

double sinc(double x)
{
    if (x == 0)
        return 1;
    const double px = M_PI * x;
    return std::sin(px) / px;
}

double lanczos(double x)
{
    return std::abs(x) < Lobes ? sinc(x) * sinc(x / Lobes) : 0;
}

} // namespace

int blockSide(int inLength, int outLength)
{
    return std::max(1, int(std::floor(double(inLength) / outLength / FilterShare)));
}

int averagedLength(int inLength, int block)
{
    return (inLength + block - 1) / block;
}

int tapBound(int inLength, int outLength)
{
    const double stretch = std::max(double(inLength) / outLength, 1.0);
    return std::min(inLength, int(std::ceil(2 * Lobes * stretch)) + 2);
}

// Output i's centre sits at (i + 0.5) * scale in the input, whose sample k covers [k, k + 1];
// on a reduction the kernel is stretched by the scale, so that it averages what it covers.
// Taps past the edges are left out and the rest weighed up to a sum of one.
Axis axis(int inLength, int outLength, double scale)
{
    Axis axis;
    const double stretch = std::max(scale, 1.0);
    const double support = Lobes * stretch;
    // The samples whose centre lies strictly inside the kernel.
    const auto first = [&](int i) {
        return std::max(0, int(std::floor((i + 0.5) * scale - support - 0.5)) + 1);
    };
    const auto last = [&](int i) {
        return std::min(inLength - 1, int(std::ceil((i + 0.5) * scale + support - 0.5)) - 1);
    };
    for (int i = 0; i < outLength; ++i)
        axis.taps = std::max(axis.taps, last(i) - first(i) + 1);
    axis.start.resize(outLength);
    axis.weight.fill(0.0f, outLength * axis.taps);
    QVector<double> weights(axis.taps);
    for (int i = 0; i < outLength; ++i) {
        const double centre = (i + 0.5) * scale;
        const int start = std::max(0, std::min(first(i), inLength - axis.taps));
        double sum = 0;
        weights.fill(0);
        for (int k = first(i); k <= last(i); ++k) {
            weights[k - start] = lanczos((k + 0.5 - centre) / stretch);
            sum += weights[k - start];
        }
        axis.start[i] = start;
        for (int t = 0; t < axis.taps; ++t)
            axis.weight[i * axis.taps + t] = float(sum != 0 ? weights[t] / sum : 0);
    }
    return axis;
}

} // namespace Kernel
