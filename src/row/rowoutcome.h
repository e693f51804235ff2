#pragma once

#include "formats/damage.h"
#include "metadata/leftout.h"

#include <QList>
#include <QSize>
#include <QString>

#include <vector>

// What became of one row of a batch: written, or not written and why. What happened only; the
// closing report says it in the user's language.
struct RowOutcome
{
    enum Status
    {
        Pending, // not decided yet: the row still has to be processed
        Written,
        NotStarted, // the run was cancelled before this row
        AlreadyDone, // every output there already, newer than the source: left as it is
        Unreadable, // missing, unreadable or unsupported source
        Damaged,    // decodable, but corrupt or cut short
        Changed,    // the file changed, or was replaced, while it was read
        TooLarge,   // the header declares more pixels than we accept
        NoSuffix,   // the output name has no suffix, so no format
        UnsupportedFormat,
        WriteFailed,
        DuplicateOutput,  // an earlier row writes the same file
        OverwritesListed, // the output is the source of another row
        MultipleImages,   // pages or frames that the output's format would drop
    };

    // Why a write failed, where that is one of the common causes.
    enum class WriteProblem
    {
        Other, // systemError says what
        NoSpace,
        ReadOnly,
        Denied,
        NoFolder,
        NameTooLong,
        DiskError,
        OutOfMemory,
    };

    // What else the closing message says of a written row.
    enum class Note
    {
        HdrColoursKept,    // PQ or HLG, which no sRGB conversion can take
        ProfileUnreadable, // colours not converted to sRGB
        CopiedAsIs,        // the source's own bytes: nothing to change
        TurnedLossless,    // a JPEG turned upright without coding it again
        Transcoded,        // a JPEG's own coefficients written as JPEG XL, without loss
    };

    Status status = Pending;
    QString otherSource; // DuplicateOutput, OverwritesListed: the other row's source
    QString suffix;      // UnsupportedFormat: the output's suffix; MultipleImages: its format
    WriteProblem writeProblem = WriteProblem::Other;
    // Damaged: what the decoder found wrong, where it could say more
    Formats::Damage damage = Formats::Damage::Unspecified;
    QSize imageSize;        // for TooLarge
    int imageCount = 0;     // for MultipleImages
    QString systemError;    // the system's, the library's or the encoder's own words, where given
    LeftOuts leftOut;       // Written, but without these of the source's metadata
    qint64 sourceBytes = 0; // the source's size as the row found it
    qint64 outputBytes = 0; // the size of what was written
    qint64 limitBytes = 0;  // the file-size limit the row was written under, if any
    QSize limitedTo;        // fewer pixels than asked, to fit the limit
    bool overLimit = false; // too large even at the smallest size
    int encodes = 0;        // how many times the image was encoded
    QList<Note> notes;
    std::vector<RowOutcome> extras; // the row's other outputs, in the plan's order

    static RowOutcome make(Status status, const QString &systemError = QString());
    // A failed write, the common system errors told apart (`code` is an errno) and the
    // system's own words kept.
    static RowOutcome writeFailed(int code, const QString &systemText);
    // A failed write by the encoder, in its own words.
    static RowOutcome encodeFailed(const QString &words, bool outOfMemory = false);

    bool isFailure() const
    {
        return status != Pending && status != Written && status != NotStarted &&
               status != AlreadyDone;
    }
};
