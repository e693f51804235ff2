#include "photometadata.h"

#include <QFile>

#include <exiv2/exiv2.hpp>

#include <mutex>

struct PhotoMetadata::Data
{
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    Exiv2::IptcData iptc;
};

namespace {

// Exiv2 logs damage it works around instead of throwing; its errors count as a failure of
// the row that logged them.
thread_local QString loggedError;

void logHandler(int level, const char *message)
{
    if (level >= Exiv2::LogMsg::error && loggedError.isEmpty())
        loggedError = QString::fromUtf8(message).trimmed();
}

std::mutex xmpToolkit;

void lockXmp(void *, bool lock)
{
    if (lock)
        xmpToolkit.lock();
    else
        xmpToolkit.unlock();
}

// The XMP toolkit's set-up is not thread-safe, and its use needs a lock of ours.
void initialiseOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setHandler(logHandler);
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::error);
        Exiv2::XmpParser::initialize(lockXmp, nullptr);
    });
}

template <typename Key, typename Container, typename Value>
void replaceIfPresent(Container &data, const char *key, const Value &value)
{
    const auto found = data.findKey(Key(key));
    if (found != data.end())
        found->setValue(value);
}

// The pixels are upright and smaller: say so, and drop the thumbnail of the old pixels.
void correctFor(Exiv2::ExifData &exif, Exiv2::XmpData &xmp, const QSize &size)
{
    using Exiv2::ExifKey;
    using Exiv2::XmpKey;
    if (!exif.empty()) {
        Exiv2::ExifThumb(exif).erase();
        exif["Exif.Image.Orientation"] = uint16_t(1);
        exif["Exif.Photo.PixelXDimension"] = uint32_t(size.width());
        exif["Exif.Photo.PixelYDimension"] = uint32_t(size.height());
        replaceIfPresent<ExifKey>(exif, "Exif.Image.ImageWidth", std::to_string(size.width()));
        replaceIfPresent<ExifKey>(exif, "Exif.Image.ImageLength", std::to_string(size.height()));
    }
    replaceIfPresent<XmpKey>(xmp, "Xmp.tiff.Orientation", std::string("1"));
    replaceIfPresent<XmpKey>(xmp, "Xmp.exif.PixelXDimension", std::to_string(size.width()));
    replaceIfPresent<XmpKey>(xmp, "Xmp.exif.PixelYDimension", std::to_string(size.height()));
    replaceIfPresent<XmpKey>(xmp, "Xmp.tiff.ImageWidth", std::to_string(size.width()));
    replaceIfPresent<XmpKey>(xmp, "Xmp.tiff.ImageLength", std::to_string(size.height()));
}

QString describe(const std::exception &error)
{
    return loggedError.isEmpty() ? QString::fromUtf8(error.what()) : loggedError;
}

} // namespace

PhotoMetadata PhotoMetadata::read(const QString &path)
{
    initialiseOnce();
    loggedError.clear();
    PhotoMetadata metadata;
    try {
        const auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        if (image->imageType() != Exiv2::ImageType::jpeg)
            return metadata;
        image->readMetadata();
        auto data = std::make_shared<Data>();
        data->exif = image->exifData();
        data->xmp = image->xmpData();
        data->iptc = image->iptcData();
        metadata.m_data = data;
        metadata.m_error = loggedError;
    } catch (const std::exception &error) {
        metadata.m_error = describe(error);
    }
    return metadata;
}

bool PhotoMetadata::isEmpty() const
{
    return !m_data || (m_data->exif.empty() && m_data->xmp.empty() && m_data->iptc.empty());
}

bool PhotoMetadata::insertInto(QByteArray *jpeg, const QSize &size, QString *error) const
{
    if (isEmpty())
        return true;
    loggedError.clear();
    try {
        const auto image = Exiv2::ImageFactory::open(
            reinterpret_cast<const Exiv2::byte *>(jpeg->constData()), long(jpeg->size()));
        image->readMetadata(); // keeps what the encoder wrote: ICC profile, comment
        Exiv2::ExifData exif = m_data->exif;
        Exiv2::XmpData xmp = m_data->xmp;
        correctFor(exif, xmp, size);
        image->setExifData(exif);
        image->setXmpData(xmp);
        image->setIptcData(m_data->iptc);
        image->writeMetadata();
        if (!loggedError.isEmpty()) {
            *error = loggedError;
            return false;
        }
        Exiv2::BasicIo &io = image->io();
        io.seek(0, Exiv2::BasicIo::beg);
        const Exiv2::DataBuf bytes = io.read(long(io.size()));
        *jpeg = QByteArray(reinterpret_cast<const char *>(bytes.pData_), int(bytes.size_));
        return true;
    } catch (const std::exception &exception) {
        *error = describe(exception);
        return false;
    }
}
