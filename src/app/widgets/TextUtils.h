#pragma once
// Text, colour, button and alert helpers. An AttributedString is a string with optional font,
// colour, link, underline, alignment and letter spacing over its whole length; applied to a label
// it becomes escaped rich text (outside text is never read as markup), to other controls plain
// text with the widget's font and palette.
#include "app/widgets/ModalUi.h"

#include <QColor>
#include <QFont>
#include <QMetaType>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

class QAbstractButton;
class QFileDialog;
class QWidget;

struct AttributedString
{
    QString string;
    std::optional<QFont> font;
    QColor color; // invalid: none
    QUrl link; // empty: none
    bool underlined = false;
    std::optional<double> kerning; // points added between letters
    Qt::Alignment alignment = {}; // 0: none

    bool isNull() const { return string.isNull(); }
    bool hasAttributes() const
    {
        return font || color.isValid() || !link.isEmpty() || underlined || kerning || alignment != Qt::Alignment();
    }
    // Rich text for a label: text and address escaped; colour, underline and link as markup.
    QString toHtml() const;
    bool operator==(const AttributedString &o) const
    {
        return string == o.string && font == o.font && color == o.color && link == o.link
            && underlined == o.underlined && kerning == o.kerning && alignment == o.alignment;
    }
};
Q_DECLARE_METATYPE(AttributedString)

namespace NSAttributedStringUtils {
// Never null: a null string gives an empty one.
AttributedString attributedStringWithString(const QString &string);
// Null for a null string.
AttributedString attributedStringWithString(const QString &string, const QColor &color);
// Null for a null string; without a font the string has no attributes, without a colour only the font.
AttributedString attributedStringWithString(const QString &string, const std::optional<QFont> &font,
                                            const QColor &color);
AttributedString hyperlinkFromString(const QString &string, const QUrl &url, const QColor &linkColor,
                                     bool underlined);
} // namespace NSAttributedStringUtils

// Controls: the attributed value a control shows (kept with the widget, so kerning can be added
// later without losing its font and colour).
namespace NSControlUtils {
void setAttributedStringValue(QWidget *control, const AttributedString &value);
// The attributed value set before, or the control's plain text without attributes.
AttributedString attributedStringValue(const QWidget *control);
// Letter spacing over the whole string; a null string counts as empty.
void setStringValueWithKerning(QWidget *control, const QString &string, double kerning);
// Adds the kerning to the value already shown; its other attributes stay.
void setStringKerning(QWidget *control, double kerning);
// The same on a button's title.
void setTitleKerning(QAbstractButton *button, double kerning);
// The title in the colour, centred, in the button's current font; an invalid colour leaves
// the title without attributes.
void setTitleWithColor(QAbstractButton *button, const QString &title, const QColor &color);
void setAlternateTitleWithColor(QAbstractButton *button, const QString &title, const QColor &color);
inline void setBoldTitleWithColor(QAbstractButton *button, const QString &title, const QColor &color)
{
    setTitleWithColor(button, title, color);
}
// The alternate title a button shows while checked (set by setAlternateTitleWithColor).
AttributedString alternateTitle(const QAbstractButton *button);
} // namespace NSControlUtils

namespace NSColorUtils {
QColor colorWith255BasedRed(double red, double green, double blue, double alpha = 1.0);
} // namespace NSColorUtils

// Alerts and save panels: a window-modal sheet on a visible window, otherwise application-modal;
// the completion gets the button index (alerts) or QDialog's result (panels).
namespace NSAlertUtils {
void beginSheetOrRunModalForWindow(const AlertRequest &alert, QWidget *window,
                                   std::function<void(AlertResult)> completion = {});
void beginSheetOrRunModalForWindow(QFileDialog *panel, QWidget *window,
                                   std::function<void(int result)> completion = {});
} // namespace NSAlertUtils
