#pragma once

#include <QDateTime>
#include <QString>

class PhotoMetadata;

// When, and with which camera, a photo was taken, as its name or the list's order may use it.
struct Capture
{
    // The time the camera's clock showed, as a time without zone (kept as UTC so that no
    // daylight-saving change moves it); the file's modification time where the photo says none.
    QDateTime taken;
    bool takenFromPhoto = false;
    QString model; // as the camera wrote it; empty where unknown

    // Opens the photo and reads its metadata only, never its pixels.
    static Capture read(const QString &path);
    // From metadata already read, `path` giving the file's time where the metadata has none.
    static Capture from(const PhotoMetadata &metadata, const QString &path);
};
