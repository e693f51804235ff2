#pragma once

#include <QString>

class QFileInfo;

namespace Naming {

// The rename pattern as the run uses it: path characters removed, "%1" appended when absent.
QString effectivePattern(const QString &pattern);

// Base name of the output for list row `row`: the pattern with the zero-padded row number,
// or the source's own base name when not renaming.
QString newBaseName(bool rename, const QString &effectivePattern, int row, const QFileInfo &source);

// newName, a dot and the source's complete suffix. Joined directly, so a "%1" left in newName
// is kept as it stands.
QString outputFileName(const QString &newName, const QString &completeSuffix);

// The complete suffix with its last part replaced by `suffix` (appended where there is none):
// "2019.HEIC" becomes "2019.jpg".
QString convertedSuffix(const QString &completeSuffix, const QString &suffix);

// `name` inside `folder`. Unlike QDir::filePath(), which returns a name starting with ":" as
// it is (taking it for a resource path), so that the file would land in the working folder.
QString pathInFolder(const QString &folder, const QString &name);

// Removes the characters that would make a file name reach outside its folder.
QString withoutPathCharacters(const QString &text);

} // namespace Naming
