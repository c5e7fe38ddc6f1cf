#include "app/launch/CatalogueHealthAlert.h"

#include "app/launch/ShellBridge.h"
#include "app/widgets/ModalUi.h"
#include "catalogue/DataStore.h"
#include "core/LGLog.h"

#include <QDir>

namespace CatalogueHealthAlert {

void reportAtLaunch()
{
    DataStore *store = DataStore::instance();
    auto track = [](const QString &event) {
        if (const auto &t = ShellBridge::instance().track)
            t(event, 1);
    };
    if (!store->isOpen()) {
        const StoreError error = store->openError();
        LGLogError(QStringLiteral("ERROR: The catalogue could not be opened: %1").arg(error.message));
        track(QStringLiteral("CoreData: Catalogue could not be opened"));
        AlertRequest r;
        r.title = shellTr(QStringLiteral("Lumora Hoistly could not open its photo catalogue"));
        r.message = shellTr(QStringLiteral("%1\n\nBackups are stopped until it can be opened. Make sure your home folder "
                                           "has free space and can be written, then open Lumora Hoistly again."))
                        .arg(error.message);
        Alerts::show(r);
        return;
    }
    const StoreRecovery recovery = store->recovery();
    switch (recovery.kind) {
    case StoreRecovery::None:
        return;
    case StoreRecovery::SetAsideBroken: {
        track(QStringLiteral("CoreData: Catalogue set aside"));
        AlertRequest r;
        r.title = shellTr(QStringLiteral("Lumora Hoistly started a new photo catalogue"));
        r.message = shellTr(QStringLiteral("Its catalogue could not be read (%1). It was kept as \"%2\" and a new one was "
                                           "started. Photos already in your Lumora account are recognised and will not "
                                           "be uploaded again."))
                        .arg(recovery.message, QDir::toNativeSeparators(recovery.setAsidePath));
        Alerts::show(r);
        return;
    }
    case StoreRecovery::RecreatedEmptyFile:
        // Nothing was there to keep; the account's checksums keep uploads from repeating.
        track(QStringLiteral("CoreData: Catalogue file was empty"));
        return;
    case StoreRecovery::LostJournal:
        track(QStringLiteral("CoreData: Catalogue journal lost"));
        return;
    }
}

} // namespace CatalogueHealthAlert
