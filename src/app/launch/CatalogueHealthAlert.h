#pragma once
// Tells the user, once at launch, what the catalogue found wrong when it opened: an alert when it
// had to start afresh or cannot be opened at all, and an analytics event for every finding.
namespace CatalogueHealthAlert {
void reportAtLaunch();
}
