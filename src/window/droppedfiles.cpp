#include "window/droppedfiles.h"

#include "batch/naming.h"
#include "row/imageresizer.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

// Length of the run of digits starting at `from`.
int digitRun(const QString &text, int from)
{
    int end = from;
    while (end < text.size() && text.at(end).isDigit())
        ++end;
    return end - from;
}

// Numbers compare by value: leading zeros aside, a longer run is larger.
int compareNumbers(QStringView a, QStringView b)
{
    const auto trimmed = [](QStringView digits) {
        while (digits.size() > 1 && digits.at(0) == QLatin1Char('0'))
            digits = digits.mid(1);
        return digits;
    };
    const QStringView x = trimmed(a), y = trimmed(b);
    if (x.size() != y.size())
        return x.size() < y.size() ? -1 : 1;
    return x.compare(y);
}

// As file managers order names: IMG_2 before IMG_10, and letter case aside. The system
// collator does not always offer a numeric mode, so runs of digits are compared here.
bool naturalLess(const QString &a, const QString &b)
{
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const int runA = digitRun(a, i), runB = digitRun(b, j);
        int order = 0;
        if (runA > 0 && runB > 0) {
            order = compareNumbers(QStringView(a).mid(i, runA), QStringView(b).mid(j, runB));
            i += runA;
            j += runB;
        } else {
            order = QString::compare(a.at(i), b.at(j), Qt::CaseInsensitive);
            ++i;
            ++j;
        }
        if (order != 0)
            return order < 0;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;
}

QStringList imagesInFolder(const QString &folder)
{
    const QDir dir(folder);
    QStringList names;
    const QStringList entries = dir.entryList(QDir::Files);
    for (const QString &name : entries) {
        if (isDroppableImage(name))
            names.append(name);
    }
    std::sort(names.begin(), names.end(), naturalLess);
    QStringList paths;
    for (const QString &name : qAsConst(names))
        paths.append(Naming::pathInFolder(dir.path(), name));
    return paths;
}

// The images of the tree under `folder`, each with its folder's path from `base`, in path order:
// the entries of each folder sorted by name, a subfolder's images in its place among them.
void addTree(const QDir &folder, const QDir &base, QVector<DroppedImage> *images)
{
    // Without QDir::Hidden, hidden files and folders are left out.
    QFileInfoList entries = folder.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(entries.begin(), entries.end(), [](const QFileInfo &a, const QFileInfo &b) {
        return naturalLess(a.fileName(), b.fileName());
    });
    const QString subfolder = base.relativeFilePath(folder.path());
    for (const QFileInfo &entry : qAsConst(entries)) {
        if (entry.isDir() && !entry.isSymLink())
            addTree(QDir(entry.filePath()), base, images);
        else if (entry.isFile() && isDroppableImage(entry.fileName()))
            images->append({entry.filePath(), subfolder});
    }
}

} // namespace

bool isDroppableImage(const QString &path)
{
    return ImageResizer::handlesSuffix(QFileInfo(path).suffix());
}

QString droppableImagePatterns()
{
    QStringList patterns;
    for (const QByteArray &format : ImageResizer::readableFormats())
        if (ImageResizer::handlesSuffix(QString::fromLatin1(format)))
            patterns << QLatin1String("*.") + QString::fromLatin1(format).toLower();
    patterns.removeDuplicates();
    patterns.sort();
    return patterns.join(QLatin1Char(' '));
}

QVector<DroppedImage> droppedImages(const QList<QUrl> &urls, bool trees)
{
    QVector<DroppedImage> images;
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        const QFileInfo info(path);
        if (info.isDir() && trees) {
            const QDir folder(QDir::cleanPath(info.absoluteFilePath()));
            QDir parent = folder;
            parent.cdUp();
            addTree(folder, parent, &images);
        } else if (info.isDir()) {
            for (const QString &image : imagesInFolder(path))
                images.append({image, QString()});
        } else if (info.isFile() && isDroppableImage(path)) {
            images.append({path, QString()});
        }
    }
    return images;
}
