#include "row/preview.h"

#include "formats/registry.h"
#include "resample/wholeimage.h"
#include "row/carry.h"
#include "row/photo.h"
#include "row/rowread.h"

#include <algorithm>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

namespace {

// What decides the pixels: the encoding aside, a change of any of it decodes again.
struct PixelsKey
{
    Geometry geometry;
    QVector<int> sizes;
    QVector<bool> needed;
    bool srgb = false;
    bool gainMap = false;

    bool operator==(const PixelsKey &other) const
    {
        return geometry == other.geometry && sizes == other.sizes && needed == other.needed &&
               srgb == other.srgb && gainMap == other.gainMap;
    }
};

RowPreview::Output outputOf(const RowRead::Made &made, const QSize &shape)
{
    RowPreview::Output output;
    if (made.failed.status != RowOutcome::Pending) {
        output.outcome = made.failed;
        return output;
    }
    output.bytes = made.bytes;
    output.outcome = RowOutcome::make(RowOutcome::Written);
    output.outcome.outputBytes = made.bytes.size();
    output.outcome.leftOut = made.leftOut;
    output.outcome.notes = made.notes;
    output.size = made.encoded.pixels.isValid() ? made.encoded.pixels : shape;
    return output;
}

} // namespace

struct RowPreview::Kept
{
    QString source;
    std::unique_ptr<Photo> photo;
    QImage upright;
    PixelsKey key;
    Render::Pixels pixels;
    bool hasPixels = false;
};

RowPreview::RowPreview(int box) : m_box(box), m_kept(std::make_unique<Kept>()) {}

RowPreview::~RowPreview() = default;

// The photo of `source` open, from the last call where it is the same file unchanged.
bool RowPreview::open(const QString &source, Result *result)
{
    if (m_kept->source != source || !m_kept->photo || m_kept->photo->changed()) {
        *m_kept = Kept();
        m_kept->source = source;
        m_kept->photo = std::make_unique<Photo>(source);
    }
    result->sourceBytes = QFileInfo(source).size();
    result->refused = m_kept->photo->refusal();
    return !m_kept->photo->isRefused();
}

const Render::Pixels &RowPreview::pixels(const PlannedRow &row, const QVector<bool> &needed,
                                         bool gainMap, Result *result)
{
    const Geometry &geometry = row.options.geometry;
    const PixelsKey key{geometry, row.sizes(), needed, row.options.carrying.srgb, gainMap};
    if (!m_kept->hasPixels || !(m_kept->key == key)) {
        Photo &photo = *m_kept->photo;
        m_kept->pixels = Render::pixels(photo, geometry, Render::shapes(photo, geometry, key.sizes),
                                        needed, key.srgb, gainMap);
        m_kept->key = key;
        // A stopped decode is not kept: the next call decodes again.
        m_kept->hasPixels = m_kept->pixels.failed.status != RowOutcome::NotStarted;
        result->decoded = true;
    }
    return m_kept->pixels;
}

// The whole photo upright at the preview's box, decoded once for the file; from the outputs'
// pixels where they show all of it.
QImage RowPreview::upright(Result *result)
{
    if (m_kept->upright.isNull() && m_kept->hasPixels &&
        m_kept->pixels.part == QRectF(0, 0, 1, 1)) {
        const QImage &largest = *std::max_element(
            m_kept->pixels.images.cbegin(), m_kept->pixels.images.cend(),
            [](const QImage &a, const QImage &b) { return a.width() < b.width(); });
        const QSize fitted = largest.size().scaled(m_box, m_box, Qt::KeepAspectRatio);
        if (fitted == largest.size())
            m_kept->upright = largest;
        else if (qMax(largest.width(), largest.height()) >= m_box)
            m_kept->upright = resampled(largest, fitted, Resampling::Smooth);
    }
    if (m_kept->upright.isNull()) {
        Geometry whole;
        whole.size = m_box;
        whole.enlarge = false;
        whole.resampling = Resampling::Smooth;
        Photo &photo = *m_kept->photo;
        const Render::Pixels pixels = Render::single(photo, whole);
        m_kept->upright = pixels.images.value(0);
        result->decoded = true;
    }
    return m_kept->upright;
}

RowPreview::Result RowPreview::make(const PlannedRow &row)
{
    Result result;
    result.outputs.resize(row.outputs.size());
    for (int i = 0; i < row.outputs.size(); ++i)
        result.outputs[i].outcome = row.outputs.at(i).outcome;
    if (!row.hasWork() || !open(row.source, &result))
        return result;
    Photo &photo = *m_kept->photo;
    const Formats::Writer &writer = Formats::writerFor(row.options.encoding.format);
    RowRead::Read read;
    if (photo.imageCount() > 1) {
        read = RowRead::read(photo, row, writer);
        result.decoded = true;
    } else {
        const QVector<bool> needed = RowRead::copies(photo, row, writer, &read);
        if (needed.contains(true)) {
            const bool gainMap =
                Carry::metadataFor(photo, row.options.carrying, writer).record().gainMap.readable();
            const Render::Pixels &pixels = this->pixels(row, needed, gainMap, &result);
            RowRead::fill(photo, row, writer, pixels, needed, &read);
            result.part = pixels.part;
        }
    }
    result.photo = upright(&result);
    if (result.part.isEmpty())
        result.part = QRectF(0, 0, 1, 1);
    if (photo.changed()) {
        *m_kept = Kept();
        result.refused = RowOutcome::make(RowOutcome::Changed);
        return result;
    }
    const QVector<Render::Shape> shapes = Render::shapes(photo, row.options.geometry, row.sizes());
    for (int i = 0; i < read.ready.size() && i < shapes.size(); ++i) {
        const RowRead::Ready &ready = read.ready.at(i);
        if (ready.failed.status != RowOutcome::Pending) {
            result.outputs[i].outcome = ready.failed;
            continue;
        }
        result.outputs[i] =
            outputOf(RowRead::make(row, writer, ready, read.lossless), shapes.at(i).size);
    }
    return result;
}

QImage RowPreview::decodedBack(const QByteArray &bytes, const QByteArray &format)
{
    QTemporaryFile file(QDir::tempPath() + "/parvimage-preview-XXXXXX." +
                        QString::fromLatin1(format));
    if (!file.open() || file.write(bytes) != bytes.size() || !file.flush())
        return QImage();
    file.close();
    Photo photo(file.fileName());
    if (photo.isRefused())
        return QImage();
    const QSize size = photo.header().upright();
    Geometry geometry;
    geometry.size = qMax(size.width(), size.height());
    geometry.enlarge = false;
    const Render::Pixels pixels = Render::single(photo, geometry);
    return pixels.images.value(0);
}
