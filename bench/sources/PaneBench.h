#pragma once
// Steps both Upload pane benchmarks time the same way.
#include "windows/sources/SourcesPreferencesViewController.h"

#include <QSignalSpy>

// Shows the pane at its usual size and waits for its first gather of the sources to land.
inline void showAndGather(SourcesPreferencesViewController &pane)
{
    pane.resize(640, 480);
    pane.show();
    QSignalSpy landed(&pane, &SourcesPreferencesViewController::sourcesRefreshed);
    pane.refreshViewForceRefreshUI(true);
    landed.wait(5000);
}
