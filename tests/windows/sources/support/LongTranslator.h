#pragma once
// A stand-in translation that makes every text much longer, to see what gets cut off.
#include <QTranslator>

class LongTranslator : public QTranslator
{
public:
    QString translate(const char *, const char *source, const char *, int n) const override
    {
        QString text = QString::fromUtf8(source);
        if (text.contains(QLatin1Char('%')))
            return QStringLiteral("Ǻçčéñţš ") + text.replace(QStringLiteral("%d"), n >= 0 ? QString::number(n) : QStringLiteral("%d"));
        return text.isEmpty() ? text : QStringLiteral("Ǻçčéñţš %1 ļöñĝ ţéxţ").arg(text);
    }
    bool isEmpty() const override { return false; }
};
