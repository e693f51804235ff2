#pragma once

#include "resample/rowsink.h"

#include <memory>

// A sink that takes a decoder's rows on the decoder's thread and hands them to `inner` on a
// thread of its own: with two cores, one decodes while the other resamples. `inner` as it is
// where the row has one core, or its rows are not pixels of the toolkit's.
std::unique_ptr<RowSink> pipelined(std::unique_ptr<RowSink> inner, const QSize &rows,
                                   const RowLayout &layout);
