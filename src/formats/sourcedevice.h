#pragma once

#include <QIODevice>

#include <memory>

class SourceFile;

namespace Formats {

// The source as a device for the toolkit's readers, from its start, with the file's name so
// that the toolkit picks its plug-in by suffix first, as it does for a path. Reads the file the
// source opened; nothing opens it again.
std::unique_ptr<QIODevice> sourceDevice(const SourceFile &source);

// The same without the name, for a reader told the format.
std::unique_ptr<QIODevice> mappableDevice(const SourceFile &source);

} // namespace Formats
