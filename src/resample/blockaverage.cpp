#include "resample/blockaverage.h"

#include "resample/kernel.h"
#include "resample/vectorpasses.h"

#include <algorithm>

namespace BlockAverage {

namespace {

using VectorPasses::load;
using VectorPasses::store;
using VectorPasses::Vec4;

// Adds each block of `Block` pixels of four floats to its place in `sum`, or sets it there.
template <int Block> void addBlocks(const float *in, float *sum, int blocks, bool first)
{
    for (int x = 0; x < blocks; ++x, in += 4 * Block, sum += 4) {
        Vec4 s = first ? Vec4{0, 0, 0, 0} : load(sum);
        for (int k = 0; k < Block; ++k)
            s += load(in + 4 * k);
        store(sum, s);
    }
}

// Any block size, channel count and last, narrower block.
void addBlocks(const float *in, float *sum, int channels, int block, int from, int width,
               bool first)
{
    for (int x = from; x * block < width; ++x) {
        const int to = std::min((x + 1) * block, width);
        for (int c = 0; c < channels; ++c) {
            float s = first ? 0.0f : sum[x * channels + c];
            for (int k = x * block; k < to; ++k)
                s += in[k * channels + c];
            sum[x * channels + c] = s;
        }
    }
}

} // namespace

void add(const float *in, float *sum, int channels, int block, int width, bool first)
{
    const int whole = channels == 4 ? width / block : 0;
    switch (channels == 4 ? block : 0) {
    case 1:
        addBlocks<1>(in, sum, whole, first);
        break;
    case 2:
        addBlocks<2>(in, sum, whole, first);
        break;
    case 3:
        addBlocks<3>(in, sum, whole, first);
        break;
    case 4:
        addBlocks<4>(in, sum, whole, first);
        break;
    default:
        addBlocks(in, sum, channels, block, 0, width, first);
        break;
    }
    if (channels == 4 && block <= 4)
        addBlocks(in, sum, channels, block, whole, width, first);
}

void divide(float *sum, int channels, int block, int width, int band)
{
    const int averagedWidth = Kernel::averagedLength(width, block);
    for (int x = 0; x < averagedWidth; ++x) {
        const int count = (std::min((x + 1) * block, width) - x * block) * band;
        const float scale = 1.0f / float(count);
        for (int c = 0; c < channels; ++c)
            sum[x * channels + c] *= scale;
    }
}

} // namespace BlockAverage
