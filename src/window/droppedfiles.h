#pragma once

#include <QList>
#include <QStringList>
#include <QUrl>
#include <QVector>

// True for the suffixes a drop adds, in any letter case: those of the formats a row can both
// read and write.
bool isDroppableImage(const QString &path);

// The patterns (`*.dng *.DNG …`) of every suffix a drop adds, for the open-files dialog's
// second filter: its first offers only PNG and JPEG.
QString droppableImagePatterns();

// An image a drop adds, and the folder its outputs go to under a destination: the path of its
// own folder from the dropped folder's parent ("Vacances/Jour 1"), empty for a file dropped
// alone.
struct DroppedImage
{
    QString path;
    QString subfolder;
};

// The local images a drop adds, in the order dropped: image files as they are, the images
// directly inside a dropped folder sorted by name, and nothing for anything else; with `trees`,
// a dropped folder adds every image of its whole tree, sorted by path, hidden files and folders
// and links to folders left out.
QVector<DroppedImage> droppedImages(const QList<QUrl> &urls, bool trees);
