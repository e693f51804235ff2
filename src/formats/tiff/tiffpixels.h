#pragma once

#include "colour/inks.h"
#include "resample/rowlayout.h"

#include <QByteArray>
#include <QColorSpace>
#include <QVector>

#include <tiffio.h>

#include <memory>

// How a TIFF directory lays out its samples, and their conversion into the rows a sink takes.
namespace TiffPixels {

struct Layout
{
    int width = 0;
    int height = 0;
    int samples = 1; // a pixel's
    int bits = 1;    // a sample's
    int format = SAMPLEFORMAT_UINT;
    int photometric = PHOTOMETRIC_MINISBLACK;
    bool separate = false; // one plane a sample
    bool tiled = false;
    int colours = 1; // the samples before the extra ones
    int alpha = -1;  // the alpha sample's index, -1 for none
    bool associated = false;
    bool viaRgba = false; // left to libtiff's own RGBA conversion
    QVector<QRgb> palette;
    QByteArray inkProfile; // a CMYK file's own profile

    bool deep() const { return bits > 8 && !viaRgba; }
    int planes() const { return separate ? samples : 1; }
    // Whether sample `index` makes the pixels: extra samples other than alpha do not.
    bool used(int index) const { return index < colours || index == alpha; }
    // The bytes of one row of one plane, as libtiff hands it out.
    qint64 rowBytes() const { return (qint64(width) * (separate ? 1 : samples) * bits + 7) / 8; }
};

// Reads the layout of the current directory; false, with why in `words`, where neither this
// nor libtiff's RGBA conversion can read it.
bool readLayout(TIFF *tiff, Layout *layout, QString *words);

// The rows' layout as the sink takes them.
RowLayout rowLayout(const Layout &layout);

// The colour space of the pixels it gives, where the file says one.
QColorSpace colourSpace(const Layout &layout, const QByteArray &icc,
                        const QVector<float> &whitePoint, const QVector<float> &primaries);

// Turns one stored row, a pointer a plane, into the row layout's pixels.
class Converter
{
public:
    explicit Converter(const Layout &layout);
    ~Converter();
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    bool isValid() const;
    // The converted row: image bytes, or floats for a Floats layout.
    const void *convert(const uchar *const *planes, const QVector<int> &columns);

private:
    void toSamples(const uchar *const *planes);
    void toFloats(const QVector<int> &columns);
    void toImage(const uchar *const *planes, const QVector<int> &columns);
    void inksAndLab();

    const Layout &m_layout;
    RowLayout m_rows;
    QVector<float> m_samples; // normalised, a pixel's samples together
    QVector<float> m_colour;  // CMYK or Lab before, RGB after Little CMS
    QVector<float> m_floats;
    QByteArray m_bytes;
    std::unique_ptr<Inks::FloatConverter> m_inks; // CMYK or Lab through Little CMS
};

} // namespace TiffPixels
