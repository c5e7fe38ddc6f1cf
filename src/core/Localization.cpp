#include "Localization.h"

#include "LGLog.h"

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QTranslator>

namespace {
QMutex g_localeLock;
QString g_language;
QStringList g_months;

QString firstPreferredLanguage()
{
    const QStringList languages = QLocale::system().uiLanguages();
    return languages.isEmpty() ? QLocale::system().name() : languages.first();
}

void loadMonthsLocked(const QString &language)
{
    const QLocale locale(language);
    g_months.clear();
    for (int m = 1; m <= 12; ++m)
        g_months << locale.standaloneMonthName(m, QLocale::LongFormat);
    g_language = language;
}
} // namespace

bool Localization::isLocalized()
{
    const QString probe = QString::fromLatin1(kProbePhrase);
    return QCoreApplication::translate(kContext, kProbePhrase) != probe;
}

QString Localization::tr(const QString &english)
{
    if (english.isEmpty())
        return english;
    const QByteArray key = english.toUtf8();
    return QCoreApplication::translate(kContext, key.constData());
}

QString Localization::removeNewlinesIfLocalized(const QString &text)
{
    return removeNewlinesIfLocalized(text, isLocalized());
}

QString Localization::removeNewlinesIfLocalized(const QString &text, bool localized)
{
    if (!localized)
        return text;
    QStringList paragraphs = text.split(QStringLiteral("\n\n"));
    for (QString &p : paragraphs)
        p.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return paragraphs.join(QStringLiteral("\n\n"));
}

QString Localization::useOldTranslatedPhrase(const QString &oldTranslated, const QString &newEnglish,
                                             const QString &newTranslated)
{
    return useOldTranslatedPhrase(oldTranslated, newEnglish, newTranslated, isLocalized());
}

QString Localization::useOldTranslatedPhrase(const QString &oldTranslated, const QString &newEnglish,
                                             const QString &newTranslated, bool localized)
{
    if (!localized)
        return newEnglish;
    if (!newTranslated.isEmpty() && newTranslated != newEnglish)
        return newTranslated;
    return oldTranslated;
}

void Localization::updateLocale()
{
    const QString language = firstPreferredLanguage();
    QMutexLocker locker(&g_localeLock);
    if (language != g_language || g_months.isEmpty())
        loadMonthsLocked(language);
}

QString Localization::monthName(int month)
{
    QMutexLocker locker(&g_localeLock);
    if (g_months.isEmpty())
        loadMonthsLocked(firstPreferredLanguage());
    return g_months.value(month - 1);
}

bool Localization::installTranslations(const QLocale &locale)
{
    auto *app = QCoreApplication::instance();
    if (!app)
        return false;
    auto *translator = new QTranslator(app);
    const QString appDir = QCoreApplication::applicationDirPath() + QStringLiteral("/translations");
    for (const QString &dir : {QStringLiteral(":/translations"), appDir}) {
        if (translator->load(locale, QStringLiteral("hoistly"), QStringLiteral("_"), dir)) {
            QCoreApplication::installTranslator(translator);
            LGLogInfo(QStringLiteral("LOCALE: Using the %1 translation").arg(translator->language()));
            return true;
        }
    }
    delete translator;
    return false;
}
