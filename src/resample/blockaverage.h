#pragma once

// Where the reduction is large, whole blocks of pixels are averaged before the filter runs, as
// far as leaves the filter about twice the output's size: its cost then no longer grows with
// the source.
namespace BlockAverage {

// Adds each block of `block` samples of a stored row of `width` pixels of `channels` floats to
// its place in `sum`, or sets it there where `first`.
void add(const float *row, float *sum, int channels, int block, int width, bool first);

// Turns the sums of a band of `band` rows into averages; the last block may be narrower.
void divide(float *sum, int channels, int block, int width, int band);

} // namespace BlockAverage
