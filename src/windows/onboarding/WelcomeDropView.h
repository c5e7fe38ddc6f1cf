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
    // Drops onto `target` are taken as drops onto this view: the list of dropped folders lies
    // over the view once it has entries, and a drop there must not be refused.
    void takeDropsOn(QWidget *target);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    static void answerDrag(QDragMoveEvent *event);
};
