#include "windows/preferences/LMRLargeCheckboxCell.h"

#include "windows/preferences/PreferenceTexts.h"

#include <QPainter>

namespace {
constexpr int kImageSize = 22;
}

LMRLargeCheckboxCell::LMRLargeCheckboxCell(QWidget *parent) : QCheckBox(parent)
{
    ensurePreferencesResources();
}

LMRLargeCheckboxCell::LMRLargeCheckboxCell(const QString &text, QWidget *parent) : QCheckBox(text, parent)
{
    ensurePreferencesResources();
}

const QList<QPair<QString, QIcon>> &LMRLargeCheckboxCell::images()
{
    static const QList<QPair<QString, QIcon>> list = [] {
        ensurePreferencesResources();
        QList<QPair<QString, QIcon>> out;
        for (const char *name : {"CheckboxL", "CheckboxLH", "CheckboxLS", "CheckboxLSH"}) {
            const QString path = QStringLiteral(":/images/preferences/%1.svg").arg(QLatin1String(name));
            QIcon icon(path);
            if (!icon.isNull())
                out << qMakePair(QString::fromLatin1(name), icon);
        }
        return out;
    }();
    return list;
}

int LMRLargeCheckboxCell::imageIndex() const
{
    const bool on = checkState() != Qt::Unchecked;
    return (on ? 2 : 0) + (isDown() ? 1 : 0);
}

QString LMRLargeCheckboxCell::imageName() const
{
    const int index = imageIndex();
    return index < images().size() ? images().at(index).first : QString();
}

QSize LMRLargeCheckboxCell::sizeHint() const
{
    const QSize text = fontMetrics().size(Qt::TextShowMnemonic, this->text());
    return QSize(kImageSize + 4 + text.width() + 4, qMax(kImageSize + 2, text.height() + 2));
}

bool LMRLargeCheckboxCell::hitButton(const QPoint &pos) const
{
    return rect().contains(pos);
}

void LMRLargeCheckboxCell::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const int index = imageIndex();
    if (index < images().size())
        images().at(index).second.paint(&painter, QRect(0, 2, kImageSize, kImageSize));
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(QRect(kImageSize + 4, 2, width() - kImageSize - 4, height() - 2), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic,
                     text());
}
