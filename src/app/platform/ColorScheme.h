#pragma once
// Whether the desktop's panel is dark: the freedesktop settings portal's colour-scheme
// preference where a portal answers, else the palette's window colour.
#include <QDBusVariant>
#include <QObject>

class ColorScheme : public QObject
{
    Q_OBJECT
public:
    static ColorScheme *instance();
    static bool isDark();
    // -1 = ask the desktop; 0 light; 1 dark.
    static void setOverrideForTesting(int dark);

Q_SIGNALS:
    void changed();

private Q_SLOTS:
    void settingChanged(const QString &ns, const QString &key, const QDBusVariant &value);

private:
    explicit ColorScheme(QObject *parent = nullptr);
};
