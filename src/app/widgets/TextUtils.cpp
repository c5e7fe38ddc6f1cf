#include "app/widgets/TextUtils.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QWidget>

static const char *kAttributedValueProperty = "hoistlyAttributedValue";
static const char *kAlternateTitleProperty = "hoistlyAlternateTitle";

QString AttributedString::toHtml() const
{
    QString body = string.toHtmlEscaped();
    QStringList style;
    if (color.isValid())
        style << QStringLiteral("color:%1").arg(color.name(color.alpha() < 255 ? QColor::HexArgb : QColor::HexRgb));
    style << (underlined ? QStringLiteral("text-decoration:underline") : QStringLiteral("text-decoration:none"));
    if (!link.isEmpty()) {
        const QString href = QString::fromUtf8(link.toEncoded()).toHtmlEscaped();
        body = QStringLiteral("<a href=\"%1\" style=\"%2\">%3</a>").arg(href, style.join(QLatin1Char(';')), body);
    } else if (color.isValid() || underlined) {
        body = QStringLiteral("<span style=\"%1\">%2</span>").arg(style.join(QLatin1Char(';')), body);
    }
    return body;
}

namespace NSAttributedStringUtils {

AttributedString attributedStringWithString(const QString &string)
{
    AttributedString out;
    out.string = string.isNull() ? QStringLiteral("") : string;
    return out;
}

AttributedString attributedStringWithString(const QString &string, const QColor &color)
{
    AttributedString out;
    out.string = string;
    if (!string.isNull())
        out.color = color;
    return out;
}

AttributedString attributedStringWithString(const QString &string, const std::optional<QFont> &font,
                                            const QColor &color)
{
    AttributedString out;
    out.string = string;
    if (string.isNull() || !font)
        return out;
    out.font = font;
    out.color = color;
    return out;
}

AttributedString hyperlinkFromString(const QString &string, const QUrl &url, const QColor &linkColor,
                                     bool underlined)
{
    AttributedString out;
    out.string = string.isNull() ? QStringLiteral("") : string;
    out.link = url;
    out.color = linkColor;
    out.underlined = underlined;
    return out;
}

} // namespace NSAttributedStringUtils

namespace NSControlUtils {

namespace {

QString plainText(const QWidget *control)
{
    if (auto *label = qobject_cast<const QLabel *>(control))
        return label->textFormat() == Qt::RichText ? QString() : label->text();
    if (auto *edit = qobject_cast<const QLineEdit *>(control))
        return edit->text();
    if (auto *button = qobject_cast<const QAbstractButton *>(control))
        return button->text().replace(QStringLiteral("&&"), QStringLiteral("&"));
    return QString();
}

void applyFontAndColor(QWidget *control, const AttributedString &value, QPalette::ColorRole role)
{
    QFont font = value.font ? *value.font : control->font();
    if (value.kerning)
        font.setLetterSpacing(QFont::AbsoluteSpacing, *value.kerning);
    else if (value.font)
        font.setLetterSpacing(QFont::AbsoluteSpacing, 0);
    control->setFont(font);
    if (value.color.isValid()) {
        QPalette palette = control->palette();
        palette.setColor(role, value.color);
        if (role == QPalette::ButtonText)
            palette.setColor(QPalette::WindowText, value.color);
        control->setPalette(palette);
    }
}

// A button title in the button's own font, centred, in the colour given (plain without one).
AttributedString coloredTitle(const QAbstractButton *button, const QString &title, const QColor &color)
{
    AttributedString value = NSAttributedStringUtils::attributedStringWithString(title);
    if (color.isValid()) {
        value.color = color;
        value.alignment = Qt::AlignCenter;
        value.font = button->font();
    }
    return value;
}

} // namespace

void setAttributedStringValue(QWidget *control, const AttributedString &value)
{
    if (!control)
        return;
    control->setProperty(kAttributedValueProperty, QVariant::fromValue(value));
    if (auto *label = qobject_cast<QLabel *>(control)) {
        applyFontAndColor(label, value, QPalette::WindowText);
        if (value.alignment != Qt::Alignment())
            label->setAlignment(value.alignment);
        if (!value.link.isEmpty() || value.underlined || value.color.isValid()) {
            label->setTextFormat(Qt::RichText);
            label->setText(value.toHtml());
        } else {
            label->setTextFormat(Qt::PlainText);
            label->setText(value.string);
        }
    } else if (auto *edit = qobject_cast<QLineEdit *>(control)) {
        applyFontAndColor(edit, value, QPalette::Text);
        if (value.alignment != Qt::Alignment())
            edit->setAlignment(value.alignment);
        edit->setText(value.string);
    } else if (auto *button = qobject_cast<QAbstractButton *>(control)) {
        applyFontAndColor(button, value, QPalette::ButtonText);
        // An ampersand in a name is text, not a keyboard shortcut.
        QString title = value.string;
        button->setText(title.replace(QLatin1Char('&'), QStringLiteral("&&")));
    } else {
        applyFontAndColor(control, value, QPalette::WindowText);
    }
}

AttributedString attributedStringValue(const QWidget *control)
{
    if (!control)
        return {};
    const QVariant stored = control->property(kAttributedValueProperty);
    if (stored.canConvert<AttributedString>()) {
        AttributedString value = stored.value<AttributedString>();
        // The text may have been changed directly since; the attributes still describe it.
        const QString shown = plainText(control);
        if (!shown.isNull() && shown != value.string && !qobject_cast<const QLabel *>(control))
            value.string = shown;
        return value;
    }
    return NSAttributedStringUtils::attributedStringWithString(plainText(control));
}

void setStringValueWithKerning(QWidget *control, const QString &string, double kerning)
{
    AttributedString value = NSAttributedStringUtils::attributedStringWithString(string);
    value.kerning = kerning;
    setAttributedStringValue(control, value);
}

void setStringKerning(QWidget *control, double kerning)
{
    AttributedString value = attributedStringValue(control);
    value.kerning = kerning;
    setAttributedStringValue(control, value);
}

void setTitleKerning(QAbstractButton *button, double kerning)
{
    setStringKerning(button, kerning);
}

void setTitleWithColor(QAbstractButton *button, const QString &title, const QColor &color)
{
    if (!button)
        return;
    setAttributedStringValue(button, coloredTitle(button, title, color));
    button->update();
}

void setAlternateTitleWithColor(QAbstractButton *button, const QString &title, const QColor &color)
{
    if (!button)
        return;
    button->setProperty(kAlternateTitleProperty, QVariant::fromValue(coloredTitle(button, title, color)));
    button->update();
}

AttributedString alternateTitle(const QAbstractButton *button)
{
    if (!button)
        return {};
    return button->property(kAlternateTitleProperty).value<AttributedString>();
}

} // namespace NSControlUtils

namespace NSColorUtils {
QColor colorWith255BasedRed(double red, double green, double blue, double alpha)
{
    return QColor::fromRgbF(float(red / 255.0), float(green / 255.0), float(blue / 255.0), float(alpha));
}
} // namespace NSColorUtils

namespace NSAlertUtils {

void beginSheetOrRunModalForWindow(const AlertRequest &alert, QWidget *window,
                                   std::function<void(AlertResult)> completion)
{
    AlertRequest request = alert;
    request.sheetParent = window;
    Alerts::show(request, std::move(completion));
}

void beginSheetOrRunModalForWindow(QFileDialog *panel, QWidget *window,
                                   std::function<void(int)> completion)
{
    if (!panel)
        return;
    const bool sheet = window && window->isVisible();
    if (sheet && panel->parentWidget() != window->window())
        panel->setParent(window->window(), panel->windowFlags() | Qt::Sheet);
    panel->setWindowModality(sheet ? Qt::WindowModal : Qt::ApplicationModal);
    if (completion) {
        QObject::connect(panel, &QDialog::finished, panel,
                         [completion = std::move(completion)](int result) { completion(result); },
                         Qt::SingleShotConnection);
    }
    if (sheet) {
        panel->open();
    } else {
        panel->show(); // open() would make it window-modal
    }
}

} // namespace NSAlertUtils
