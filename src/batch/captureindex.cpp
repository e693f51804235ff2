#include "batch/captureindex.h"

#include "system/helperthreads.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <numeric>

namespace {

// Reads every capture of `captures` whose flag says so, on up to `cores` threads.
void readAll(const QStringList &paths, const QVector<bool> &wanted, QVector<Capture> *captures,
             int cores)
{
    std::atomic<int> next{0};
    Capture *out = captures->data(); // detached once, before the threads share it
    const auto work = [&] {
        for (int i = next++; i < paths.size(); i = next++)
            if (wanted.at(i))
                out[i] = Capture::read(paths.at(i));
    };
    std::vector<std::thread> threads;
    for (int i = 1; i < cores && HelperThreads::start(&threads, work); ++i) {
    }
    work();
    HelperThreads::joinAll(&threads);
}

QVector<int> rows(int count)
{
    QVector<int> order(count);
    std::iota(order.begin(), order.end(), 0);
    return order;
}

} // namespace

QVector<Capture> CaptureIndex::of(const QStringList &paths, int cores)
{
    QVector<Capture> captures(paths.size());
    QVector<bool> wanted(paths.size(), false);
    QVector<QFileInfo> infos;
    infos.reserve(paths.size());
    bool any = false;
    for (int i = 0; i < paths.size(); ++i) {
        infos.append(QFileInfo(paths.at(i)));
        const auto known = m_known.constFind(paths.at(i));
        if (known != m_known.cend() && known->size == infos.at(i).size() &&
            known->modified == infos.at(i).lastModified())
            captures[i] = known->capture;
        else
            any = wanted[i] = true;
    }
    if (!any)
        return captures;
    readAll(paths, wanted, &captures, cores > 0 ? cores : QThread::idealThreadCount());
    for (int i = 0; i < paths.size(); ++i)
        if (wanted.at(i))
            m_known.insert(paths.at(i),
                           {infos.at(i).size(), infos.at(i).lastModified(), captures.at(i)});
    return captures;
}

QVector<int> CaptureIndex::orderByDate(const QStringList &paths, int cores)
{
    const QVector<Capture> captures = of(paths, cores);
    QVector<int> order = rows(paths.size());
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return captures.at(a).taken < captures.at(b).taken; });
    return order;
}

namespace {

// The run of digits, or of anything else, that starts at `at`.
QString chunk(const QString &text, int at)
{
    const bool digits = text.at(at).isDigit();
    int end = at;
    while (end < text.size() && text.at(end).isDigit() == digits)
        ++end;
    return text.mid(at, end - at);
}

// Numbers by their value, text by the user's language, case aside: the toolkit's collator
// does not order numbers by value where it is built without ICU.
int naturalCompare(const QString &a, const QString &b)
{
    int i = 0, k = 0;
    while (i < a.size() && k < b.size()) {
        const QString x = chunk(a, i), y = chunk(b, k);
        int order = 0;
        if (x.at(0).isDigit() && y.at(0).isDigit()) {
            static const QRegularExpression zeros(QStringLiteral("^0+"));
            const QString u = QString(x).remove(zeros), v = QString(y).remove(zeros);
            order = u.size() != v.size() ? u.size() - v.size() : u.compare(v);
        } else {
            order = QString::localeAwareCompare(x.toCaseFolded(), y.toCaseFolded());
        }
        if (order != 0)
            return order;
        i += x.size();
        k += y.size();
    }
    return (a.size() - i) - (b.size() - k);
}

} // namespace

// As a file manager shows them: "photo 9" before "photo 10", case aside.
QVector<int> CaptureIndex::orderByName(const QStringList &paths)
{
    QStringList names;
    names.reserve(paths.size());
    for (const QString &path : paths)
        names.append(QFileInfo(path).fileName());
    QVector<int> order = rows(paths.size());
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return naturalCompare(names.at(a), names.at(b)) < 0; });
    return order;
}
