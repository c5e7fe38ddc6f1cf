#include "app/widgets/TextUtils.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

using namespace NSAttributedStringUtils;
using namespace NSControlUtils;

class TestTextUtils : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void nullStrings()
    {
        QVERIFY(!attributedStringWithString(QString()).isNull());
        QCOMPARE(attributedStringWithString(QString()).string, QString(""));
        QVERIFY(attributedStringWithString(QString(), QColor(Qt::red)).isNull());
        QVERIFY(attributedStringWithString(QString(), QFont(), QColor(Qt::red)).isNull());
        // Without a font no attributes; without a colour only the font.
        QVERIFY(!attributedStringWithString(QStringLiteral("a"), std::nullopt, QColor(Qt::red)).hasAttributes());
        const AttributedString fontOnly = attributedStringWithString(QStringLiteral("a"), QFont(), QColor());
        QVERIFY(fontOnly.font.has_value());
        QVERIFY(!fontOnly.color.isValid());
    }

    void linksAreEscaped()
    {
        const QString name = QStringLiteral("<b>Tom & Jerry</b>");
        const QUrl url(QStringLiteral("https://www.example.com/photos/a\"b?x=<1>"));
        const AttributedString link = hyperlinkFromString(name, url, QColor(40, 110, 200), true);
        const QString html = link.toHtml();
        QVERIFY(html.contains(QStringLiteral("&lt;b&gt;Tom &amp; Jerry&lt;/b&gt;")));
        QVERIFY(!html.contains(QStringLiteral("<b>")));
        QVERIFY(html.contains(QStringLiteral("text-decoration:underline")));
        QVERIFY(html.contains(QStringLiteral("#286ec8")));
        // The quote in the address cannot end the href attribute.
        const int hrefStart = html.indexOf(QStringLiteral("href=\"")) + 6;
        const int hrefEnd = html.indexOf(QLatin1Char('"'), hrefStart);
        QString href = html.mid(hrefStart, hrefEnd - hrefStart);
        QCOMPARE(QUrl(href.replace(QStringLiteral("&amp;"), QStringLiteral("&"))), url);

        QLabel label;
        setAttributedStringValue(&label, link);
        QCOMPARE(label.textFormat(), Qt::RichText);
        QVERIFY(label.text().contains(QStringLiteral("&lt;b&gt;")));
        // Plain values stay plain text even when they look like markup.
        setAttributedStringValue(&label, attributedStringWithString(name));
        QCOMPARE(label.textFormat(), Qt::PlainText);
        QCOMPARE(label.text(), name);
    }

    void kerning()
    {
        QLabel label;
        setStringValueWithKerning(&label, QStringLiteral("Welcome"), 0.0);
        QCOMPARE(attributedStringValue(&label).kerning, std::optional<double>(0.0));
        QCOMPARE(label.font().letterSpacingType(), QFont::AbsoluteSpacing);

        // Kerning added later keeps the colour and font already there.
        QFont bold(QStringLiteral("DejaVu Sans"), 13);
        bold.setBold(true);
        setAttributedStringValue(&label, attributedStringWithString(QStringLiteral("Hello"), bold, QColor(Qt::red)));
        setStringKerning(&label, 1.5);
        const AttributedString value = attributedStringValue(&label);
        QCOMPARE(value.kerning, std::optional<double>(1.5));
        QCOMPARE(value.color, QColor(Qt::red));
        QVERIFY(value.font && value.font->bold());
        QCOMPARE(label.font().letterSpacing(), 1.5);
        QVERIFY(label.font().bold());
        QCOMPARE(label.palette().color(QPalette::WindowText), QColor(Qt::red));

        // A control with only plain text gets it with the kerning.
        QLineEdit edit(QStringLiteral("plain"));
        setStringKerning(&edit, 2.0);
        QCOMPARE(edit.text(), QStringLiteral("plain"));
        QCOMPARE(edit.font().letterSpacing(), 2.0);

        QPushButton button(QStringLiteral("Next"));
        setTitleKerning(&button, 0.8);
        QCOMPARE(button.text(), QStringLiteral("Next"));
        QVERIFY(qAbs(button.font().letterSpacing() - 0.8) < 0.02); // fonts keep 1/64 steps
    }

    void buttonTitles()
    {
        QPushButton button;
        setTitleWithColor(&button, QStringLiteral("Photos & Videos"), QColor(Qt::white));
        QCOMPARE(button.text(), QStringLiteral("Photos && Videos")); // no keyboard mnemonic
        QCOMPARE(button.palette().color(QPalette::ButtonText), QColor(Qt::white));
        QCOMPARE(attributedStringValue(&button).alignment, Qt::Alignment(Qt::AlignCenter));
        QCOMPARE(attributedStringValue(&button).string, QStringLiteral("Photos & Videos"));
        // Without a colour the title has no attributes.
        setTitleWithColor(&button, QStringLiteral("Skip"), QColor());
        QVERIFY(!attributedStringValue(&button).hasAttributes());
        setAlternateTitleWithColor(&button, QStringLiteral("Added"), QColor(Qt::green));
        QCOMPARE(alternateTitle(&button).string, QStringLiteral("Added"));
        QCOMPARE(alternateTitle(&button).color, QColor(Qt::green));
    }

    void colours()
    {
        const QColor c = NSColorUtils::colorWith255BasedRed(255, 128, 0);
        QCOMPARE(c.redF(), 1.0f);
        QVERIFY(qAbs(c.greenF() - 128.0f / 255.0f) < 1e-6f);
        QCOMPARE(c.blueF(), 0.0f);
        QCOMPARE(c.alphaF(), 1.0f);
        QCOMPARE(NSColorUtils::colorWith255BasedRed(0, 186, 236, 0.2).alphaF(), 0.2f);
    }
};

QTEST_MAIN(TestTextUtils)
#include "tst_text_utils.moc"
