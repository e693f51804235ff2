#pragma once

#include "formats/format.h"

// The one place that knows every format: a new format is one folder and one line here.
namespace Formats {

// Sets up every library's process-wide state, once, before any worker thread starts: from
// main(), and from the tests', benchmarks' and fuzzers' own.
void initialiseLibraries();
// Whether that was done.
bool librariesInitialised();

// The decoder of the file `source` opened: that of the entry that recognises its content, else
// of the format the toolkit detects, else the toolkit's own. Never null; its refusal() says
// whether the file may be decoded at all.
std::unique_ptr<Decoder> open(const SourceFile &source);

// The writer of an output suffix (in lower case): its format's own, else the toolkit's.
const Writer &writerFor(const QByteArray &suffix);

// Every writer entry, the toolkit's others last.
QList<const Writer *> writers();

// The suffixes a row can write and read: the toolkit's plug-ins' and the entries' own.
QList<QByteArray> writableFormats();
QList<QByteArray> readableFormats();

// The output format of a source whose suffix (in lower case) no writer writes, a camera raw or
// a multi-picture JPEG, when each source keeps its own format; empty for the others.
QByteArray writtenAsFor(const QByteArray &suffix);

} // namespace Formats

namespace EncoderQuality {

// The setting that gives `quality` in the writer of `format` (a lower-case suffix): the
// toolkit's JPEG quality (-1 for its default), libwebp's lossy quality, or libheif's for x265
// (HEIC) and aom (AVIF); -1 for the formats without one.
int setting(const QByteArray &format, Quality quality);

} // namespace EncoderQuality
