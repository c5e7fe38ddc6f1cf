#pragma once
// The Account pane: greeting, avatar and cover image, photo count and space used (text and bar),
// the camera-roll page and log-out.
#include "windows/preferences/PanedPreferencesViewController.h"

#include <QImage>
#include <QMetaObject>
#include <QWidget>

class QMenu;
namespace Ui { class AccountPreferencesView; }

class AccountPreferencesViewController : public QWidget, public PanedPreferencesViewController
{
    Q_OBJECT
public:
    explicit AccountPreferencesViewController(QWidget *parent = nullptr);
    ~AccountPreferencesViewController() override;

    QString identifier() const override { return QStringLiteral("AccountPreferences"); }
    QIcon toolbarItemImage() const override;
    QString toolbarItemLabel() const override;
    QWidget *paneView() override { return this; }
    void viewWillAppear() override;
    void viewDidDisappear() override;
    int neededContentWidth() override;

    // The signed-in name: full name, else user name.
    static QString signedInName();
    // "N photo(s), X.XX GB used of unlimited!" ("" while nobody is signed in).
    static QString spaceLine(const QString &name, int photoCount, qint64 bytesUsed);
    // Width of the bar's full part in a bar W points wide.
    static int spaceBarFillWidth(int width, qint64 bytesUsed);

    void updateStats();
    void updateStatsAsync();
    // The one-item menu under the avatar (built afresh each time).
    QMenu *buildAvatarMenu(QWidget *parent);

    void logoffButtonHit();
    void avatarImageViewHit();
    void openWebsiteButtonHit();
    void blackAndWhiteIconHit();
    // Log out and delete the application's data.
    void performLogOutAndDELETEEVERYTHING();

    Ui::AccountPreferencesView *ui() const { return m_ui; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void awakeFromNib();
    // Places the controls for the pane's width (centred) and fits the greeting into it.
    void layoutForWidth();
    void showGreeting();

    Ui::AccountPreferencesView *m_ui;
    QMetaObject::Connection m_countObserver;
    QString m_name;
};
