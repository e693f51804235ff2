#pragma once

class SourceFile;

// Whether a file the toolkit reads holds all the data its header announces: its plug-ins hand
// out a cut-short file's image whole, the missing part made up.
namespace Completeness {

// Every image's coded data runs to its end within the file; a missing trailer is forgiven.
bool gif(const SourceFile &source);

// The pixel rows an uncompressed bitmap declares are all in the file.
bool bmp(const SourceFile &source);

} // namespace Completeness
