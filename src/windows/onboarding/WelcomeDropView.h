#pragma once
// The drop target of the summary screen: takes folders dragged from the file manager and hands
// them to the onboarding window.
#include <QLabel>

class QMimeData;

class WelcomeWindowControllerDropView : public QLabel
{
    Q_OBJECT
public:
    explicit WelcomeWindowControllerDropView(QWidget *parent = nullptr);

    // Local paths of a drag that holds at least one existing file or folder, else empty.
    static QStringList acceptablePaths(const QMimeData *data);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
};
