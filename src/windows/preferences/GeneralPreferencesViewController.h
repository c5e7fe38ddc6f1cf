#pragma once
// The About pane: product name, version and year notice, the tray icon style, and the commands
// (about, updates, contact, quit) with the logo's options menu.
#include "windows/preferences/PanedPreferencesViewController.h"

#include <QDate>
#include <QWidget>

class QMenu;
namespace Ui { class GeneralPreferencesView; }

class GeneralPreferencesViewController : public QWidget, public PanedPreferencesViewController
{
    Q_OBJECT
public:
    explicit GeneralPreferencesViewController(QWidget *parent = nullptr);
    ~GeneralPreferencesViewController() override;

    QString identifier() const override { return QStringLiteral("GeneralPreferences"); }
    QIcon toolbarItemImage() const override;
    QString toolbarItemLabel() const override;
    QWidget *paneView() override { return this; }
    void viewWillAppear() override { syncBlackAndWhiteCheckbox(); }
    int neededContentWidth() override;

    // The year shown in the notice: this year within 2015..2115, else 2015.
    static int noticeYear(const QDate &today);
    static QString yearNotice(const QDate &today);
    // The version caption with every "X.X" replaced by "<short version>.<build>".
    static QString versionText(const QString &caption);
    static QString hiddenChannelKey();
    static bool hiddenChannelOn();
    static QString switchBranchTitle();

    // The logo's menu, built afresh with current check marks.
    QMenu *buildLogoMenu(QWidget *parent);

    void aboutButtonHit();
    void checkForUpdatesButtonHit();
    void quitButtonHit();
    void viewDebugLog();
    void viewDebugLogReal();
    void blackAndWhiteIconHit();
    void toggleRunAtStartup();
    void showCredits();
    void logoHit();
    void switchBranch();

    Ui::GeneralPreferencesView *ui() const { return m_ui; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void awakeFromNib();
    // Places the controls for the pane's width, centred.
    void layoutForWidth();
    QList<QWidget *> buttonRow() const;
    void syncBlackAndWhiteCheckbox();

    Ui::GeneralPreferencesView *m_ui;
};
