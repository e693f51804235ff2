#pragma once

#include "row/plannedrow.h"
#include "row/render.h"
#include "row/rowoutcome.h"

#include <QByteArray>
#include <QImage>
#include <QRectF>
#include <QVector>

#include <memory>

class Photo;

// One row made in memory as the run would write it, for the preview: each output's bytes, the
// photo upright and what of it the outputs show. The photo stays open and its pixels are kept
// from one call to the next, so that a change of the encoding alone codes them again without
// decoding the photo. Not thread-safe: one call at a time.
class RowPreview
{
public:
    struct Output
    {
        RowOutcome outcome; // Written where `bytes` are the file's
        QByteArray bytes;
        QSize size; // the upright pixels written
    };

    struct Result
    {
        RowOutcome refused;      // Pending unless the photo was refused whole
        QVector<Output> outputs; // the plan's order
        QImage photo;            // upright, fitted to the preview's box
        QRectF part;             // what of it the outputs show, as fractions of its sides
        qint64 sourceBytes = 0;
        bool decoded = false; // the photo was decoded for this result
    };

    explicit RowPreview(int box = 1024);
    ~RowPreview();
    RowPreview(const RowPreview &) = delete;
    RowPreview &operator=(const RowPreview &) = delete;

    Result make(const PlannedRow &row);

    // `bytes` of a file in `format` decoded, upright, as a viewer would show it; null where
    // they do not decode.
    static QImage decodedBack(const QByteArray &bytes, const QByteArray &format);

private:
    struct Kept;
    bool open(const QString &source, Result *result);
    const Render::Pixels &pixels(const PlannedRow &row, const QVector<bool> &needed, bool gainMap,
                                 Result *result);
    QImage upright(Result *result);

    int m_box;
    std::unique_ptr<Kept> m_kept;
};
