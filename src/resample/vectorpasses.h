#pragma once

#include "resample/kernel.h"

#include <QVector>
#include <QtGlobal>

#include <cstring>

// The filter's inner loops, written for vectors of four floats and again for eight where the
// processor has AVX2 and FMA.
namespace VectorPasses {

// Four floats in one register, read from and written to any float of a row.
typedef float Vec4 __attribute__((vector_size(16)));

__attribute__((always_inline)) inline Vec4 load(const float *at)
{
    Vec4 v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

__attribute__((always_inline)) inline void store(float *at, Vec4 v)
{
    std::memcpy(at, &v, sizeof v);
}

// `count` output rows, each the weighed sum of its own `taps` rows (`rows` holds `taps`
// pointers an output row, `weights` as many weights), `lanes` floats long, into `columns`.
void weighBatch(const float *const *rows, const float *weights, int taps, int count, int lanes,
                float *columns);

// For each pair of outputs and each tap, the first one's weight four times, then the second's:
// how weighPixels() takes an axis's weights on wide vectors.
QVector<float> pairWeights(const Kernel::Axis &axis, int outLength);

// Each pixel of four floats in `target` is the weighed sum of the axis's taps of `source`.
void weighPixels(const float *source, const Kernel::Axis &axis, const QVector<float> &pairs,
                 int count, float *target);

// Bytes to floats and back, rounded and clamped to 0..255.
void widen(const uchar *in, float *out, int count);
void narrow(const float *in, uchar *out, int count);

} // namespace VectorPasses
