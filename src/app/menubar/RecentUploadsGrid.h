#pragma once
// The grid of the most recent uploads in the tray popover: one 56x56 thumbnail per path at a
// fixed place in five columns, 66 pixels apart. When the list changes, thumbnails that left fade
// out, kept ones slide to their new places and new ones fade in. Unfinished uploads are dimmed
// and ignore clicks; a click on a finished one opens the photo's page.
#include "app/widgets/SmallViews.h"

#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class QParallelAnimationGroup;

class TrayMenuPhotoContainerButton : public NSButtonWithHandCursor
{
    Q_OBJECT
public:
    explicit TrayMenuPhotoContainerButton(QWidget *parent = nullptr);
    QString path;
    // The opacity drawn with (1.0, or 0.25 while the service has not finished the photo).
    double alphaValue() const { return m_alpha; }
    void setAlphaValue(double alpha);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    double m_alpha = 1.0;
    Q_PROPERTY(double alphaValue READ alphaValue WRITE setAlphaValue)
};

class TrayMenuPhotoContainer : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kCellSize = 56;
    static constexpr int kCellPitch = 66;
    static constexpr int kColumns = 5;

    explicit TrayMenuPhotoContainer(QWidget *parent = nullptr);

    void setContents(const QStringList &contents) { setContents(contents, false); }
    void setContents(const QStringList &contents, bool animated);
    QStringList contents() const { return m_contents; }
    // The thumbnail of a shown path, or nullptr (no thumbnail or record yet: the place stays empty
    // until the next update finds both).
    TrayMenuPhotoContainerButton *cellForPath(const QString &path) const;
    QStringList visiblePaths() const { return m_visibleCells.keys(); }
    // The grid place of an index: (column x 66, row x 66).
    static QPoint originForIndex(int index);
    bool isAnimating() const;
    // Jumps a running animation to its end state.
    void finishAnimation();

    void imageClicked(TrayMenuPhotoContainerButton *sender);

private:
    TrayMenuPhotoContainerButton *createCell(const QString &path);
    // Shows the path's thumbnail on the cell; false when there is none.
    bool loadImage(TrayMenuPhotoContainerButton *cell, const QString &path);
    void updateCell(const QString &path, bool animated, QParallelAnimationGroup *group);

    QStringList m_contents;
    QHash<QString, TrayMenuPhotoContainerButton *> m_visibleCells;
    QHash<QString, QString> m_imageStamps; // of the thumbnail each cell shows
    QPointer<QParallelAnimationGroup> m_animation;
};
