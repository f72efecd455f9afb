#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QStyleOption>
#include <QTextEdit>
#include <QVBoxLayout>

#include "ui/style.h"
#include "ui/tests/ui_test.h"
#include "ui/theme.h"
#include "ui/typography.h"

namespace orlex::ui {
namespace {

using test::near;
using test::ReducedMotion;
using test::render;

TEST(Fonts, BodyFaceComesFromTheArchiveAndSansSerifIsDejaVu) {
    // Text only renders with installed fonts; missing glyphs would draw as boxes no pixel probe notices.
    EXPECT_TRUE(QFontDatabase::families().contains("DejaVu Sans"));
    EXPECT_EQ(QFontInfo(Theme::sans(13)).family(), "DejaVu Sans");
    EXPECT_EQ(Typography::family(), "DejaVu Sans");
    const QFont bold = Typography::font(Typography::BOLD, 18);
    EXPECT_TRUE(bold.bold());
    EXPECT_FALSE(bold.italic());
    EXPECT_EQ(bold.pixelSize(), 18);
}

TEST(ReducedMotionSwitch, IsReadFromThePreferenceAtEveryCall) {
    EXPECT_FALSE(Theme::reduced());
    {
        ReducedMotion on(true);
        EXPECT_TRUE(Theme::reduced());
    }
    EXPECT_FALSE(Theme::reduced());
}

QImage glyph(bool radio, bool selected) {
    QImage image(18, 18, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter g(&image);
    QStyleOptionButton opt;
    opt.rect = QRect(0, 0, 18, 18);
    opt.state = QStyle::State_Enabled | (selected ? QStyle::State_On : QStyle::State_Off);
    QApplication::style()->drawPrimitive(
        radio ? QStyle::PE_IndicatorRadioButton : QStyle::PE_IndicatorCheckBox, &opt, &g);
    return image;
}

QColor mix(QColor over, QColor under, double k) {
    return QColor(int(over.red() * k + under.red() * (1 - k)),
                  int(over.green() * k + under.green() * (1 - k)),
                  int(over.blue() * k + under.blue() * (1 - k)));
}

TEST(SelectionGlyph, UnselectedCheckIsADarkSquareWithAGreyBlueOutlineAndNoMark) {
    const QImage off = glyph(false, false);
    EXPECT_EQ(off.pixelColor(8, 8), QColor(0x14, 0x1F, 0x31));
    EXPECT_EQ(off.pixelColor(6, 10), QColor(0x14, 0x1F, 0x31));  // where the tick would be
    // The 1.4 stroke centred on x = 2 covers 70 % of column 2, over the fill.
    EXPECT_TRUE(near(off.pixelColor(2, 8), mix(QColor(0x70, 0x87, 0xAD), QColor(0x14, 0x1F, 0x31), 0.7), 12));
    EXPECT_EQ(off.pixelColor(0, 0).alpha(), 0);
    EXPECT_EQ(QApplication::style()->pixelMetric(QStyle::PM_IndicatorWidth), 18);
}

TEST(SelectionGlyph, SelectedCheckIsFilledAndTicked) {
    const QImage on = glyph(false, true);
    EXPECT_EQ(on.pixelColor(11, 12), QColor(0x4D, 0x5E, 0x97));
    EXPECT_TRUE(near(on.pixelColor(6, 10), Theme::TEXT, 40));
    EXPECT_TRUE(near(on.pixelColor(2, 8), mix(Theme::CYAN, QColor(0x4D, 0x5E, 0x97), 0.7), 12));
}

TEST(SelectionGlyph, RadioShowsItsDotOnlyWhenSelected) {
    EXPECT_EQ(glyph(true, false).pixelColor(8, 8), QColor(0x14, 0x1F, 0x31));
    EXPECT_EQ(glyph(true, true).pixelColor(8, 8), Theme::TEXT);
    EXPECT_EQ(glyph(true, true).pixelColor(0, 0).alpha(), 0);
}

TEST(SliderLook, FillsFromVioletUpToTheThumbCentreOnADarkTrack) {
    QSlider s(Qt::Horizontal);
    s.setRange(0, 100);
    s.setValue(50);
    s.resize(200, 30);
    Theme::slider(&s);
    const QImage image = render(s);
    // Track from x = 8 to 192 centred on y = 15; the 16x20 thumb at x = 92 (half of 184), y = 5.
    const double t = (20.5 - 8) / 184;
    const QColor start(int(Theme::VIOLET.red() + (Theme::CYAN.red() - Theme::VIOLET.red()) * t),
                       int(Theme::VIOLET.green() + (Theme::CYAN.green() - Theme::VIOLET.green()) * t),
                       int(Theme::VIOLET.blue() + (Theme::CYAN.blue() - Theme::VIOLET.blue()) * t));
    EXPECT_TRUE(near(image.pixelColor(20, 14), start, 3)) << image.pixelColor(20, 14).name().toStdString();
    EXPECT_EQ(image.pixelColor(80, 14).blue(), 0xF6);  // still in the filled part (violet and cyan share it)
    EXPECT_EQ(image.pixelColor(150, 14), QColor(0x22, 0x2E, 0x45));
    EXPECT_EQ(image.pixelColor(100, 15), Theme::TEXT);
    EXPECT_EQ(image.pixelColor(150, 5).alpha(), 0);  // transparent around the track
}

TEST(ScrollBarLook, HasNoArrowsAndARoundedThumbInsetByTwo) {
    QScrollBar bar(Qt::Vertical);
    bar.setRange(0, 100);
    bar.setPageStep(100);
    bar.resize(bar.sizeHint().width(), 200);
    EXPECT_EQ(bar.sizeHint().width(), 11);
    const QImage image = render(bar);
    EXPECT_EQ(image.pixelColor(5, 1), Theme::NIGHT);               // track above the thumb, no arrow button
    EXPECT_EQ(image.pixelColor(5, 10), QColor(0x4F, 0x66, 0x8D));  // thumb from the very top of the bar
    EXPECT_EQ(image.pixelColor(0, 50), Theme::NIGHT);
}

TEST(SplitterGrip, ShowsThreeMarksAcrossATallDivider) {
    QImage image(7, 100, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter g(&image);
    QStyleOption opt;
    opt.rect = image.rect();
    QApplication::style()->drawControl(QStyle::CE_Splitter, &opt, &g);
    g.end();
    const QColor grip(0x39, 0x4C, 0x69);
    for (int y : {45, 46, 50, 51, 55, 56})
        EXPECT_EQ(image.pixelColor(3, y), grip) << y;
    EXPECT_EQ(image.pixelColor(3, 47), Theme::NIGHT);
    EXPECT_EQ(image.pixelColor(2, 50), Theme::NIGHT);
    EXPECT_EQ(QApplication::style()->pixelMetric(QStyle::PM_SplitterWidth), 7);
}

TEST(ComboBoxLook, DrawsACyanChevronThatTurnsMutedWhenDisabled) {
    QComboBox combo;
    combo.addItem("Français");
    combo.resize(120, 26);
    // The 26 px arrow area starts at x = 94: chevron (103, 11) - (107, 15) - (111, 11).
    EXPECT_TRUE(near(render(combo).pixelColor(106, 14), Theme::CYAN, 45));
    combo.setEnabled(false);
    EXPECT_TRUE(near(render(combo).pixelColor(106, 14), Theme::MUTED, 45));
    EXPECT_EQ(render(combo).pixelColor(107, 5), Theme::PANEL);
}

TEST(ThemePass, TurnsEveryLabelToTextAndKeepsLargeFonts) {
    QWidget root;
    auto* layout = new QVBoxLayout(&root);
    auto* small = new QLabel("Petit");
    QPalette red = small->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    small->setPalette(red);
    QFont serif("DejaVu Serif");
    serif.setPixelSize(12);
    serif.setItalic(true);
    small->setFont(serif);
    auto* large = new QLabel("Grand");
    QFont title("DejaVu Serif");
    title.setPixelSize(22);
    large->setFont(title);
    layout->addWidget(small);
    layout->addWidget(large);

    Theme::themeTree(&root);

    EXPECT_EQ(small->palette().color(QPalette::WindowText), Theme::TEXT);
    EXPECT_EQ(large->palette().color(QPalette::WindowText), Theme::TEXT);
    EXPECT_EQ(QFontInfo(small->font()).family(), "DejaVu Sans");
    EXPECT_EQ(small->font().pixelSize(), 12);
    EXPECT_TRUE(small->font().italic());
    EXPECT_EQ(large->font().family(), "DejaVu Serif");
    EXPECT_EQ(large->font().pixelSize(), 22);
}

TEST(ThemePass, StylesEachKindOfComponentBelowTheRoot) {
    QWidget root;
    auto* layout = new QVBoxLayout(&root);
    auto* primary = new QPushButton("Jouer");
    primary->setProperty("primary", true);
    auto* toggle = new QPushButton("Bascule");
    toggle->setCheckable(true);
    auto* bar = new QProgressBar;
    auto* input = new QLineEdit;
    auto* box = new QCheckBox("Case");
    auto* area = new QTextEdit("Texte");
    for (QWidget* w : std::initializer_list<QWidget*>{primary, toggle, bar, input, box, area})
        layout->addWidget(w);

    Theme::themeTree(&root);

    EXPECT_EQ(primary->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(primary->font().pixelSize(), 13);
    EXPECT_TRUE(primary->font().bold());
    EXPECT_NE(toggle->cursor().shape(), Qt::PointingHandCursor);  // two-state buttons keep their own look
    EXPECT_EQ(toggle->palette().color(QPalette::Button), Theme::PANEL);
    EXPECT_EQ(bar->palette().color(QPalette::Highlight), Theme::CYAN);
    EXPECT_EQ(bar->palette().color(QPalette::Base), Theme::NIGHT);
    EXPECT_EQ(input->palette().color(QPalette::Base), QColor(0x0C, 0x13, 0x22));
    EXPECT_EQ(input->palette().color(QPalette::Highlight), QColor(0x48, 0x42, 0x7E));
    EXPECT_EQ(input->textMargins(), QMargins(10, 7, 10, 7));
    EXPECT_EQ(box->palette().color(QPalette::WindowText), Theme::TEXT);

    input->resize(200, 40);
    const QImage image = render(*input);
    EXPECT_EQ(image.pixelColor(100, 0), QColor(0x3A, 0x4D, 0x69));  // 1 px border line
    EXPECT_EQ(image.pixelColor(100, 20), QColor(0x0C, 0x13, 0x22));
    area->resize(200, 80);
    const QImage text = render(*area);
    EXPECT_EQ(text.pixelColor(100, 0), QColor(0x3A, 0x4D, 0x69));
    EXPECT_EQ(text.pixelColor(100, 79), QColor(0x3A, 0x4D, 0x69));
}

TEST(FieldStyle, GivesSignInFieldsTheirColoursFontAndBorder) {
    QLineEdit field;
    styleField(&field);
    field.resize(200, 40);
    EXPECT_EQ(field.font().pixelSize(), 14);
    EXPECT_EQ(field.palette().color(QPalette::Text), QColor(0xEE, 0xF4, 0xF7));
    EXPECT_EQ(field.textMargins(), QMargins(8, 6, 8, 6));
    const QImage image = render(field);
    EXPECT_EQ(image.pixelColor(0, 20), QColor(0x70, 0x65, 0xA3));
    EXPECT_EQ(image.pixelColor(100, 20), QColor(0x0C, 0x19, 0x28));

    // On a screen scaled to 150 %, a field at an odd x begins half-way into a device pixel: the first
    // device column it covers is still its border.
    QImage scaled(QSize(303, 62), QImage::Format_ARGB32);
    scaled.setDevicePixelRatio(1.5);
    scaled.fill(Qt::black);
    field.render(&scaled, QPoint(1, 1));
    EXPECT_EQ(scaled.pixelColor(2, 30), QColor(0x70, 0x65, 0xA3));
    EXPECT_EQ(scaled.pixelColor(150, 30), QColor(0x0C, 0x19, 0x28));
}

// Qt's own caret inverts the pixels under it; the theme's carets have the colour of their input.
TEST(Caret, HasTheColourOfItsInputDefaultFieldOrThemed) {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* plain = new QLineEdit;
    auto* field = new QLineEdit;
    auto* themed = new QLineEdit;
    auto* area = new QTextEdit;
    for (QWidget* w : std::initializer_list<QWidget*>{plain, field, themed, area})
        layout->addWidget(w);
    styleField(field);
    Theme::themeTree(themed);
    Theme::themeTree(area);
    window.show();
    QApplication::setActiveWindow(&window);
    const auto pixels = [](QWidget* input, const QColor& colour) {
        const QImage image = render(*input);
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                count += image.pixelColor(x, y) == colour;
        return count;
    };
    const auto focused = [](QWidget* input) {
        input->setFocus();
        QApplication::processEvents();
        return input;
    };

    EXPECT_GE(pixels(focused(plain), Theme::TEXT), 10);
    EXPECT_GE(pixels(focused(field), Qt::white), 10);
    EXPECT_GE(pixels(focused(themed), Theme::CYAN), 10);
    EXPECT_GE(pixels(focused(area), Theme::CYAN), 10);
    EXPECT_EQ(pixels(field, Qt::white), 0);  // only the focused input shows its caret
}

}  // namespace
}  // namespace orlex::ui
