#pragma once

#include "row/rowoutcome.h"

#include <QString>

// What a row's outcome says in the user's language: the one place below the window that makes
// French text.
namespace OutcomeText {

// Why a row was not written, for the closing report; empty for the others.
QString reason(const RowOutcome &outcome);
// What went wrong with a row that was written all the same, or nothing.
QString warning(const RowOutcome &outcome);
// What of the source's metadata a written row lacks, as a list: "EXIF illisibles, profil ICC".
QString leftOut(const RowOutcome &outcome);
QString leftOut(LeftOut what);
// What the closing message says of a row written otherwise than asked, or nothing.
QString remark(const RowOutcome &outcome);
// How a row was written where it was not coded again: "copiée telle quelle", "tournée sans
// perte"; nothing for the others.
QString howWritten(const RowOutcome &outcome);
// A file size as French desktops write it, 1 Ko being 1 000 bytes: "2,1 Mo", "182 Ko".
QString frenchSize(qint64 bytes);

} // namespace OutcomeText
