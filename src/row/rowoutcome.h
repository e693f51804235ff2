#pragma once

#include <QSize>
#include <QString>

// What became of one row of a batch: written, or not written and why.
struct RowOutcome
{
    enum Status
    {
        Pending, // not decided yet: the row still has to be processed
        Written,
        NotStarted, // the run was cancelled before this row
        Unreadable, // missing, unreadable or unsupported source
        Damaged,    // decodable, but corrupt or cut short
        TooLarge,   // the header declares more pixels than we accept
        NoSuffix,   // the output name has no suffix, so no format
        UnsupportedFormat,
        WriteFailed,
        DuplicateOutput,  // an earlier row writes the same file
        OverwritesListed, // the output is the source of another row
        MultipleImages,   // pages or frames that the output's format would drop
    };

    Status status = Pending;
    QString argument;    // the other row's source, the suffix or the write error
    QSize imageSize;     // for TooLarge
    int imageCount = 0;  // for MultipleImages
    QString systemError; // the toolkit's own words, where it gave some
    // Written, but without the source's metadata; systemError says why.
    bool metadataNotCopied = false;

    static RowOutcome make(Status status, const QString &argument = QString(),
                           const QString &systemError = QString());
    // A failed write, with the reason in the user's language for the common system errors
    // (`code` is an errno) and the system's own words kept for the details.
    static RowOutcome writeFailed(int code, const QString &systemText);

    bool isFailure() const
    {
        return status != Pending && status != Written && status != NotStarted;
    }
    // The reason in the user's language, for the closing report.
    QString reason() const;
    // What went wrong with a row that was written all the same, or nothing.
    QString warning() const;
};
