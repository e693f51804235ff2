#include "row/estimate.h"

#include "formats/registry.h"
#include "row/outputshape.h"
#include "row/photo.h"
#include "system/workercores.h"

namespace RowMemory {

namespace {

// What one output takes beside the decode: the output is encoded in memory before it is
// written, a photo taking at most two bytes a pixel there whatever the format, beside what the
// encoder holds; under a size limit, the best encode kept beside the one being tried, and a
// copy of the reduced image with fewer pixels.
qint64 outputEstimate(const QSize &out, const Formats::Writer &writer,
                      const Formats::Encoding &encoding)
{
    const qint64 maxBytes = encoding.maxBytes;
    const qint64 encoder =
        writer.memoryEstimate ? writer.memoryEstimate(out, writer.setting(encoding.quality)) : 0;
    const qint64 outPixels = qint64(out.width()) * out.height();
    const qint64 retries = maxBytes > 0 ? 2 * qMin(maxBytes, outPixels * 2) + outPixels * 8 : 0;
    return outPixels * 2 + encoder + retries;
}

qint64 pixels(const QSize &size)
{
    return qint64(size.width()) * size.height();
}

qint64 estimateOpened(Photo &photo, const PlannedRow &row)
{
    const QSize size = photo.header().upright();
    const QSize upright = size.isValid() ? size : QSize(1, 1);
    const OutputOptions &options = row.options;
    const Formats::Writer &writer = Formats::writerFor(options.encoding.format);
    OutputShape::Plan largest = OutputShape::planFor(options.geometry, size, row.outputs[0].size);
    QSize out = largest.output(upright);
    qint64 others = 0;
    for (int i = 1; i < row.outputs.size(); ++i) {
        const OutputShape::Plan plan =
            OutputShape::planFor(options.geometry, size, row.outputs.at(i).size);
        const QSize extraOut = plan.output(upright);
        // Every output is held, four bytes a pixel, until the source is closed.
        others += outputEstimate(extraOut, writer, options.encoding) + pixels(extraOut) * 4;
        if (pixels(extraOut) > pixels(out)) {
            largest = plan;
            out = extraOut;
        }
    }
    Formats::Decoder &decoder = photo.opened();
    qint64 total =
        decoder.memoryEstimate(largest.target) + outputEstimate(out, writer, options.encoding);
    // The frame the subject decides, cut out of the decoded photo.
    if (largest.subjectFrame.isValid())
        total += pixels(out) * 4;
    // An animation decoded beside its writer, where the decoder's own estimate leaves it out.
    const qint64 frames = decoder.framesEstimate();
    if (frames > 0 && writer.animationEstimate && size.isValid())
        total += frames + writer.animationEstimate(out);
    return total + others;
}

} // namespace

Costs costs(Photo &photo, const PlannedRow &row, int cores)
{
    if (photo.isRefused() || row.outputs.isEmpty())
        return {};
    Costs costs;
    costs.oneCore = costs.alone = estimateOpened(photo, row);
    if (cores > 1) {
        const WorkerCores::Scope scope(cores, 0);
        costs.alone = estimateOpened(photo, row);
    }
    return costs;
}

} // namespace RowMemory
