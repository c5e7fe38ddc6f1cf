#pragma once
// Launch at login as an XDG autostart entry ("lumora-hoistly.desktop" in the autostart folder).
// The Exec line names the running bundle's executable, quoted as desktop entries require, and
// carries the marker argument that tells a login launch from a manual one.
#include <QString>
#include <QStringList>

class LoginItems
{
public:
    static void addAppAsLoginItem();
    // Removes every autostart entry whose program lies in the running bundle or whose path names
    // this application ("LumoraDesktop", "Lumora Hoistly"), including entries of earlier copies;
    // entries of other programs are never touched.
    static void deleteAppFromLoginItem();

    static QString entryFileName() { return QStringLiteral("lumora-hoistly.desktop"); }
    static QString entryPath();
    // The program the entry starts: the bundle's executable, or this executable in a build tree.
    static QString programPath();

    // Desktop-entry Exec quoting (one argument) and the reverse split of a whole Exec value.
    static QString quoteExecArgument(const QString &argument);
    static QStringList splitExec(const QString &exec);
    // Escapes a value for a desktop-entry string ("\\" "\n" "\t" "\s" "\r").
    static QString escapeValue(const QString &value);
    static QString unescapeValue(const QString &value);
    // The Exec value of a desktop entry file ("" when none).
    static QString execOfEntry(const QString &path);
};
