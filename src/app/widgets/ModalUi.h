#pragma once
// Every modal question the application asks (alerts, sheets, folder choosers, opening addresses)
// goes through these small interfaces, so tests answer them from a script and nothing spins a
// nested event loop. The real implementations are installed by default; setPresenter(nullptr)
// (or setChooser/setOpener with nullptr) puts the real one back.
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <functional>

struct AlertRequest
{
    QString title;
    QString message;
    QStringList buttons; // first = default; empty means a single "OK"
    QPointer<QWidget> sheetParent; // a window-modal sheet on this window when it is visible
    QString checkboxText; // shows a check box under the message when not empty
    int cancelButton = -1; // the button Escape and the close box answer with; -1: the last
};

struct AlertResult
{
    int button = 0; // index into buttons
    bool checkboxChecked = false;
};

class AlertPresenter
{
public:
    virtual ~AlertPresenter() = default;
    virtual void present(const AlertRequest &, std::function<void(AlertResult)> done) = 0;
};

namespace Alerts {
AlertPresenter *presenter();
void setPresenter(AlertPresenter *); // null = real
void show(const AlertRequest &, std::function<void(AlertResult)> done = {});
} // namespace Alerts

class FolderChooser
{
public:
    virtual ~FolderChooser() = default;
    // Delivers the chosen folders, or an empty list when the user cancelled.
    virtual void chooseFolders(QWidget *parent, const QString &title, bool multiple,
                               std::function<void(QStringList)> done) = 0;
};

namespace FolderChoosers {
FolderChooser *chooser();
void setChooser(FolderChooser *); // null = real
} // namespace FolderChoosers

class UrlOpener
{
public:
    virtual ~UrlOpener() = default;
    virtual void open(const QUrl &) = 0;
    // Shows the file in the desktop's file manager (its folder when the manager cannot select it).
    virtual void revealFile(const QString &path) = 0;
};

namespace UrlOpeners {
UrlOpener *opener();
void setOpener(UrlOpener *); // null = real
void open(const QUrl &);
} // namespace UrlOpeners
