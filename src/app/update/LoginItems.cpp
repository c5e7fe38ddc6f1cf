#include "app/update/LoginItems.h"

#include "app/launch/AppDelegate.h"
#include "app/update/Bundle.h"
#include "core/LGLog.h"
#include "platform/StandardPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

namespace {
// GLib looks the program up before it expands "%%", so a program path with '%' is refused as it
// stands; such a path goes to the shell as an argument instead, where the expansion reaches it.
const QString kShellLauncher = QStringLiteral("exec \"$0\" \"$@\"");

// The program an Exec line starts, seen through the shell launcher.
QString programOfExec(const QStringList &args)
{
    if (args.size() >= 4 && args.at(0) == QLatin1String("sh") && args.at(1) == QLatin1String("-c") && args.at(2) == kShellLauncher)
        return args.at(3);
    return args.value(0);
}
} // namespace

QString LoginItems::entryPath() { return StandardPaths::autostartFolder() + QLatin1Char('/') + entryFileName(); }

QString LoginItems::programPath()
{
    const QString bundle = Bundle::mainBundlePath();
    if (!bundle.isEmpty()) {
        const QString exe = Bundle::executablePath(bundle);
        if (!exe.isEmpty())
            return exe;
    }
    return QCoreApplication::applicationFilePath();
}

QString LoginItems::quoteExecArgument(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`=%");
    bool needsQuotes = argument.isEmpty();
    for (QChar c : argument)
        if (reserved.contains(c))
            needsQuotes = true;
    QString out;
    for (QChar c : argument) {
        if (c == QLatin1Char('%')) {
            out += QStringLiteral("%%"); // field codes
            continue;
        }
        if (needsQuotes && (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\')))
            out += QLatin1Char('\\');
        out += c;
    }
    return needsQuotes ? QLatin1Char('"') + out + QLatin1Char('"') : out;
}

QStringList LoginItems::splitExec(const QString &exec)
{
    QStringList args;
    QString current;
    bool inQuotes = false, haveArg = false;
    for (int i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (inQuotes) {
            if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
                current += exec.at(++i);
            } else if (c == QLatin1Char('"')) {
                inQuotes = false;
            } else if (c == QLatin1Char('%') && i + 1 < exec.size() && exec.at(i + 1) == QLatin1Char('%')) {
                current += c;
                ++i;
            } else {
                current += c;
            }
        } else if (c == QLatin1Char('"')) {
            inQuotes = haveArg = true;
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (haveArg)
                args << current;
            current.clear();
            haveArg = false;
        } else if (c == QLatin1Char('%') && i + 1 < exec.size()) {
            if (exec.at(i + 1) == QLatin1Char('%')) {
                current += c;
                haveArg = true;
            }
            ++i; // other field codes expand to nothing here
        } else {
            current += c;
            haveArg = true;
        }
    }
    if (haveArg)
        args << current;
    return args;
}

QString LoginItems::escapeValue(const QString &value)
{
    QString out;
    for (QChar c : value) {
        switch (c.unicode()) {
        case '\\': out += QStringLiteral("\\\\"); break;
        case '\n': out += QStringLiteral("\\n"); break;
        case '\t': out += QStringLiteral("\\t"); break;
        case '\r': out += QStringLiteral("\\r"); break;
        default: out += c;
        }
    }
    return out;
}

QString LoginItems::unescapeValue(const QString &value)
{
    QString out;
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 >= value.size()) {
            out += c;
            continue;
        }
        const QChar n = value.at(++i);
        switch (n.unicode()) {
        case 's': out += QLatin1Char(' '); break;
        case 'n': out += QLatin1Char('\n'); break;
        case 't': out += QLatin1Char('\t'); break;
        case 'r': out += QLatin1Char('\r'); break;
        case '\\': out += QLatin1Char('\\'); break;
        default: out += QLatin1Char('\\'); out += n;
        }
    }
    return out;
}

QString LoginItems::execOfEntry(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    bool inMainGroup = false;
    QTextStream in(&f);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (inMainGroup && line.startsWith(QLatin1String("Exec"))) {
            const int eq = line.indexOf(QLatin1Char('='));
            if (eq > 0 && line.left(eq).trimmed() == QLatin1String("Exec"))
                return unescapeValue(line.mid(eq + 1).trimmed());
        }
    }
    return {};
}

void LoginItems::addAppAsLoginItem()
{
    if (!QDir().mkpath(StandardPaths::autostartFolder()))
        return;
    const QString program = programPath();
    QString exec = quoteExecArgument(program) + QLatin1Char(' ') + AppDelegate::loginLaunchArgument();
    if (program.contains(QLatin1Char('%')))
        exec = QStringLiteral("sh -c ") + quoteExecArgument(kShellLauncher) + QLatin1Char(' ') + exec;
    QSaveFile f(entryPath());
    if (!f.open(QIODevice::WriteOnly | QIODevice::Text))
        return;
    QTextStream out(&f);
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=Lumora Hoistly\n"
        << "Exec=" << escapeValue(exec) << "\n"
        << "Terminal=false\n"
        << "X-GNOME-Autostart-enabled=true\n";
    out.flush();
    f.commit();
}

void LoginItems::deleteAppFromLoginItem()
{
    const QString folder = StandardPaths::autostartFolder();
    const QString bundle = Bundle::mainBundlePath();
    const QString ownProgram = programPath();
    const QFileInfoList entries = QDir(folder).entryInfoList({QStringLiteral("*.desktop")}, QDir::Files);
    for (const QFileInfo &entry : entries) {
        const QStringList args = splitExec(execOfEntry(entry.absoluteFilePath()));
        if (args.isEmpty())
            continue; // unresolvable: left alone
        const QString program = programOfExec(args);
        const bool ours = (!bundle.isEmpty() && Bundle::isPathInsideFolder(program, bundle))
            || program == ownProgram
            || program.contains(QStringLiteral("LumoraDesktop"), Qt::CaseInsensitive)
            || program.contains(QStringLiteral("Lumora Hoistly"), Qt::CaseInsensitive);
        if (ours && !QFile::remove(entry.absoluteFilePath()))
            LGLogInfo(QStringLiteral("LOGIN: cannot remove autostart entry %1").arg(entry.absoluteFilePath()));
    }
}
