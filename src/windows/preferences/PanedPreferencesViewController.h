#pragma once
// What every pane of a paned preferences window offers the window controller. A pane is a widget
// (its own view); the controller shows one pane at a time in its content area.
#include <QIcon>
#include <QString>
#include <QWidget>

class PanedPreferencesViewController
{
public:
    virtual ~PanedPreferencesViewController() = default;

    // Unique among the panes; names the toolbar entry and the stored size key.
    virtual QString identifier() const = 0;
    virtual QIcon toolbarItemImage() const = 0;
    virtual QString toolbarItemLabel() const = 0;
    // The pane's view; the controller resizes it and puts it into the window.
    virtual QWidget *paneView() = 0;

    virtual void viewWillAppear() {}
    virtual void viewDidDisappear() {}
    virtual QWidget *initialKeyView() { return nullptr; }
    // The narrowest width at which the pane's controls, with their current texts, neither cover
    // each other nor get cut (0: whatever width the view has).
    virtual int neededContentWidth() { return 0; }
    // A pane with unfinished edits may refuse to be taken out of the window.
    virtual bool commitEditing() { return true; }
};
