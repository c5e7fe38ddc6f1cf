#pragma once
// The widget half of Localization: replaces the texts of a view tree or a menu with their
// translations (English text as the key). Call only when Localization::isLocalized().
#include "core/Localization.h"

class QMenu;
class QWidget;

namespace Localization {
// Every button title (kept in the button's font, black, centred) and every label and line-edit
// text of the view and of all its descendants.
void localizeView(QWidget *view);
// Every item title of the menu and of its submenus.
void localizeMenu(QMenu *menu);
} // namespace Localization
