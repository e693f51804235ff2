#pragma once

#include <QString>

class QFileInfo;
struct Capture;

namespace Naming {

// The rename pattern as the run uses it: path characters removed, "%1" appended when absent.
QString effectivePattern(const QString &pattern);

// Whether the pattern names photos by when or with what they were taken: {date}, {heure},
// {appareil}.
bool usesCapture(const QString &pattern);

// Base name of the output for list row `row`: the pattern with the zero-padded row number and
// its {date}, {heure}, {appareil} and {nom} filled in from `capture` and the source, or the
// source's own base name when not renaming. `capture` may be null where the pattern uses none.
QString newBaseName(bool rename, const QString &effectivePattern, int row, const QFileInfo &source,
                    const Capture *capture = nullptr);

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
// Removes what no common file system takes in a name (a USB stick's included), and the spaces
// and dots at either end.
QString withoutForbiddenCharacters(const QString &text);

} // namespace Naming
