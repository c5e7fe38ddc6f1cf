#pragma once
// A large check box drawn with four images: off, off pressed, on, on pressed ("CheckboxL",
// "CheckboxLH", "CheckboxLS", "CheckboxLSH"), with its title beside the image.
#include <QCheckBox>
#include <QIcon>
#include <QList>

class LMRLargeCheckboxCell : public QCheckBox
{
    Q_OBJECT
public:
    explicit LMRLargeCheckboxCell(QWidget *parent = nullptr);
    explicit LMRLargeCheckboxCell(const QString &text, QWidget *parent = nullptr);

    // Index into the images for the current state (0..3).
    int imageIndex() const;
    // Name of the image drawn now.
    QString imageName() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool hitButton(const QPoint &pos) const override;

private:
    static const QList<QPair<QString, QIcon>> &images();
};
