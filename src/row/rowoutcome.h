#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

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
    qint64 sourceBytes = 0; // the source's size as the row found it
    qint64 outputBytes = 0; // the size of what was written
    qint64 limitBytes = 0;  // the file-size limit the row was written under, if any
    QSize limitedTo;        // fewer pixels than asked, to fit the limit
    bool overLimit = false; // too large even at the smallest size
    int encodes = 0;        // how many times the image was encoded
    QStringList notes;      // what else the closing message says of a written row

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
    // What the closing message says of a row written otherwise than asked, or nothing.
    QString remark() const;
    // A file size as French desktops write it, 1 Ko being 1 000 bytes: "2,1 Mo", "182 Ko".
    static QString frenchSize(qint64 bytes);
};
