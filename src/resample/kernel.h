#pragma once

#include <QVector>

// The Lanczos 3 kernel's weights along one axis, and how much of a reduction is left to it.
namespace Kernel {

// Blocks are averaged, and decoders reduce for free, while the filter is still left this much
// reduction to do.
constexpr double FilterShare = 1.9;

// How many source pixels a side of the averaged blocks takes: 1 where the filter does it all.
int blockSide(int inLength, int outLength);

// Samples left after averaging blocks of `block` of them, the last one narrower.
int averagedLength(int inLength, int block);

// The taps an output sample may read: the kernel's width in input samples, and one more for
// where its centre falls between two.
int tapBound(int inLength, int outLength);

// One axis: output i reads `taps` inputs from start[i], with the weights from weight[i*taps].
struct Axis
{
    int taps = 0;
    QVector<int> start;
    QVector<float> weight;
};

// For `inLength` samples that stand for `inLength * scale / outLength` of the source.
Axis axis(int inLength, int outLength, double scale);

} // namespace Kernel
