#include "formats/decoder.h"

#include "resample/geometry.h"
#include "system/sourcefile.h"

namespace Formats {

QSize Header::upright() const
{
    return turned(stored, transform);
}

Decoder::~Decoder() = default;

void Decoder::adopt(std::unique_ptr<SourceFile> source)
{
    m_adopted = std::move(source);
}

Status Decoder::decodeFrames(const Target &, Animation *, const FrameSink &, int *, QString *)
{
    return Status::Failed;
}

} // namespace Formats
