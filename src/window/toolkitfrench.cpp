#include "window/toolkitfrench.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace {

QString translationsFolder()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    return QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
}

// The wording French desktops use for the message boxes' details button, where the toolkit's
// translation says "Montrer".
class DetailsWording : public QTranslator
{
public:
    using QTranslator::QTranslator;

    QString translate(const char *context, const char *source, const char *disambiguation,
                      int n) const override
    {
        Q_UNUSED(disambiguation);
        Q_UNUSED(n);
        if (qstrcmp(context, "QMessageBox") != 0)
            return QString();
        if (qstrcmp(source, "Show Details...") == 0)
            return QStringLiteral("Afficher les détails...");
        if (qstrcmp(source, "Hide Details...") == 0)
            return QStringLiteral("Masquer les détails...");
        return QString();
    }
    bool isEmpty() const override { return false; }
};

} // namespace

bool installToolkitFrench(QCoreApplication *app)
{
    auto *translator = new QTranslator(app);
    if (!translator->load(QLocale(QLocale::French, QLocale::France), QStringLiteral("qtbase"),
                          QStringLiteral("_"), translationsFolder()) ||
        !app->installTranslator(translator)) {
        delete translator;
        return false;
    }
    // Installed last, so asked first.
    app->installTranslator(new DetailsWording(app));
    return true;
}
