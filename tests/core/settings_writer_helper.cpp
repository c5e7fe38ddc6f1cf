// Writes settings as fast as it can until it is killed; every few rounds it saves one value at
// once and reports it on stdout ("SAVED <n>"), after naming its file ("FILE <path>").
#include "core/Settings.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    std::printf("FILE %s\n", qPrintable(Settings::storePath()));
    std::fflush(stdout);
    const QString bulk(2000, QLatin1Char('x'));
    for (int i = 0;; ++i) {
        for (int k = 0; k < 40; ++k)
            Settings::setObject(bulk + QString::number(i), QStringLiteral("Bulk%1").arg(k));
        if (i % 5 == 0) {
            Settings::setInt(i, QStringLiteral("Immediate"));
            if (Settings::synchronize()) {
                std::printf("SAVED %d\n", i);
                std::fflush(stdout);
            }
        }
    }
}
