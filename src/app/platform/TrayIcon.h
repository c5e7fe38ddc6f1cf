#pragma once
// The status item as a small interface: the real one is Qt's system tray icon (which speaks the
// desktop's StatusNotifier protocol); tests use their own backend, since headless there is no
// tray host.
#include <QElapsedTimer>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>
#include <functional>

class QMenu;
class QSystemTrayIcon;

class TrayIconBackend : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~TrayIconBackend() override = default;
    virtual void setIcon(const QIcon &icon) = 0;
    virtual void setToolTip(const QString &toolTip) = 0;
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual bool isVisible() const = 0;
    // Where the icon sits on screen (empty when the tray host does not say).
    virtual QRect geometry() const = 0;
    // Pops a menu up from the icon; returns at once.
    virtual void popUpMenu(QMenu *menu) = 0;

Q_SIGNALS:
    // A click on the icon (left or right: the same).
    void clicked();
};

class QtTrayIconBackend : public TrayIconBackend
{
    Q_OBJECT
public:
    explicit QtTrayIconBackend(QObject *parent = nullptr);
    void setIcon(const QIcon &icon) override;
    void setToolTip(const QString &toolTip) override;
    void show() override;
    void hide() override;
    bool isVisible() const override;
    QRect geometry() const override;
    void popUpMenu(QMenu *menu) override;
    // Milliseconds of a steady clock; tests set their own.
    std::function<qint64()> clock;

private:
    QSystemTrayIcon *m_icon;
    QElapsedTimer m_steady;
    qint64 m_lastActivation = -1;
};
