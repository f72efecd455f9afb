// The theme gallery: every painted component and delegate of the launcher's theme in one window.
//   orlex-ui-gallery [--png OUT]
// With --png the window is rendered once into OUT (PNG) and the program ends; run it under Xvfb or with
// QT_QPA_PLATFORM=offscreen for review on a machine without a display.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSlider>
#include <QSplitter>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>
#include <cstdio>
#include <cstring>

#include "ui/components.h"
#include "ui/icons.h"
#include "ui/theme.h"

using orlex::ui::Cosmos;
using orlex::ui::GearIcon;
using orlex::ui::Surface;
using orlex::ui::Theme;
using orlex::ui::WindowIcon;

namespace {

QLabel* caption(const QString& text) {
    auto* label = new QLabel(text);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, Theme::MUTED);  // the theme pass turns every label to TEXT
    label->setPalette(p);
    return label;
}

QPushButton* pushButton(const QString& text, bool primary) {
    auto* b = new QPushButton(text);
    b->setProperty("primary", primary);
    return b;
}

template <typename Icon>
QLabel* iconLabel(const Icon& icon) {
    QPixmap pixmap(icon.width(), icon.height());
    pixmap.fill(Qt::transparent);
    QPainter g(&pixmap);
    icon.paint(g, 0, 0);
    g.end();
    auto* label = new QLabel;
    label->setPixmap(pixmap);
    return label;
}

Surface* buttonsCard() {
    auto* card = new Surface;
    auto* grid = new QGridLayout(card);
    grid->addWidget(caption("Boutons au repos"), 0, 0, 1, 4);
    grid->addWidget(pushButton("Jouer", true), 1, 0);
    grid->addWidget(pushButton("Paramètres", false), 1, 1);
    auto* compact = pushButton("Compact", false);
    compact->setProperty("compact", true);
    grid->addWidget(compact, 1, 2);
    auto* gear = pushButton("", false);
    gear->setIcon(GearIcon(19, QColor(0xE1, 0xEC, 0xF3)).icon());
    gear->setIconSize(QSize(19, 19));
    grid->addWidget(gear, 1, 3);
    grid->addWidget(caption("Lueur 1, enfoncé, désactivé"), 2, 0, 1, 4);
    auto* glowing = pushButton("Lueur", true);
    glowing->setProperty("ui2-hover", 1.0f);
    grid->addWidget(glowing, 3, 0);
    auto* glowingSecondary = pushButton("Lueur", false);
    glowingSecondary->setProperty("ui2-hover", 1.0f);
    grid->addWidget(glowingSecondary, 3, 1);
    auto* down = pushButton("Enfoncé", true);
    down->setDown(true);
    grid->addWidget(down, 3, 2);
    auto* disabled = pushButton("Désactivé", true);
    disabled->setEnabled(false);
    grid->addWidget(disabled, 3, 3);
    auto* disabledSecondary = pushButton("Désactivé", false);
    disabledSecondary->setEnabled(false);
    grid->addWidget(disabledSecondary, 4, 3);
    auto* icons = new QHBoxLayout;
    icons->addWidget(iconLabel(GearIcon(19, QColor(0xE1, 0xEC, 0xF3))));
    icons->addWidget(iconLabel(GearIcon(48, QColor(0xE1, 0xEC, 0xF3))));
    icons->addWidget(iconLabel(WindowIcon(false)));
    icons->addWidget(iconLabel(WindowIcon(true)));
    icons->addStretch();
    grid->addLayout(icons, 4, 0, 1, 3);
    return card;
}

Surface* choicesCard() {
    auto* card = new Surface;
    card->setProperty("selected", true);
    auto* grid = new QGridLayout(card);
    grid->addWidget(caption("Surface sélectionnée : cases, boutons radio, bascules, listes"), 0, 0, 1, 3);
    auto* off = new QCheckBox("Mouvements réduits");
    auto* on = new QCheckBox("Musique");
    on->setChecked(true);
    grid->addWidget(off, 1, 0);
    grid->addWidget(on, 1, 1);
    auto* radioOff = new QRadioButton("Canal bêta");
    auto* radioOn = new QRadioButton("Canal stable");
    radioOn->setChecked(true);
    grid->addWidget(radioOff, 2, 0);
    grid->addWidget(radioOn, 2, 1);
    auto* toggleOff = new QPushButton("Fenêtré");
    toggleOff->setCheckable(true);
    auto* toggleOn = new QPushButton("Plein écran");
    toggleOn->setCheckable(true);
    toggleOn->setChecked(true);
    grid->addWidget(toggleOff, 3, 0);
    grid->addWidget(toggleOn, 3, 1);
    auto* combo = new QComboBox;
    combo->addItems({"Français", "English"});
    auto* comboOff = new QComboBox;
    comboOff->addItem("Indisponible");
    comboOff->setEnabled(false);
    grid->addWidget(combo, 4, 0);
    grid->addWidget(comboOff, 4, 1);
    return card;
}

Surface* controlsCard() {
    auto* card = new Surface;
    auto* box = new QVBoxLayout(card);
    box->addWidget(caption("Curseur, progression, champs"));
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(0, 100);
    slider->setValue(62);
    box->addWidget(slider);
    auto* progress = new QProgressBar;
    progress->setValue(40);
    progress->setTextVisible(false);
    progress->setFixedHeight(6);
    box->addWidget(progress);
    auto* input = new QLineEdit("Champ du thème");
    box->addWidget(input);
    auto* field = new QLineEdit;
    field->setPlaceholderText("Adresse e-mail (champ de connexion)");
    orlex::ui::styleField(field);
    box->addWidget(field);
    auto* area = new QTextEdit("Zone de texte du thème : bordure, fond et sélection.");
    area->setFixedHeight(64);
    box->addWidget(area);
    auto* big = new QLabel("ORLEX 28 px");
    QFont font = Theme::sans(28, true);
    big->setFont(font);
    box->addWidget(big);
    return card;
}

QWidget* panesCard() {
    auto* card = new Surface;
    auto* box = new QVBoxLayout(card);
    box->addWidget(caption("Onglets, séparateur, défilement"));
    auto* tabs = new QTabWidget;
    tabs->addTab(new QLabel("  Contenu de l’onglet Jeu"), "Jeu");
    tabs->addTab(new QLabel("Audio"), "Audio");
    tabs->addTab(new QLabel("Compte"), "Compte");
    tabs->setFixedHeight(110);
    box->addWidget(tabs);
    auto* splitter = new QSplitter(Qt::Horizontal);
    auto* left = new QLabel("Gauche");
    left->setAlignment(Qt::AlignCenter);
    auto* scroll = new QScrollArea;
    auto* list = new QWidget;
    auto* lines = new QVBoxLayout(list);
    for (int i = 1; i <= 14; ++i)
        lines->addWidget(new QLabel(QString("Ligne %1 du journal du lanceur").arg(i)));
    scroll->setWidget(list);
    splitter->addWidget(left);
    splitter->addWidget(scroll);
    splitter->setSizes({120, 300});
    splitter->setFixedHeight(140);
    box->addWidget(splitter);
    return card;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Theme::installDefaults();
    const char* png = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--png") == 0 && i + 1 < argc) {
            png = argv[++i];
        } else {
            std::fprintf(stderr, "usage: orlex-ui-gallery [--png OUT]\n");
            return 2;
        }
    }

    Cosmos window;
    window.setWindowTitle("ORLEX Tessaline — galerie du thème");
    auto* grid = new QGridLayout(&window);
    grid->setContentsMargins(28, 28, 28, 28);
    grid->setSpacing(22);
    grid->addWidget(buttonsCard(), 0, 0);
    grid->addWidget(choicesCard(), 0, 1);
    grid->addWidget(controlsCard(), 1, 0);
    grid->addWidget(panesCard(), 1, 1);
    Theme::themeTree(&window);
    window.resize(1120, 760);
    window.show();

    if (!png)
        return app.exec();
    QApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(png), "PNG")) {
        std::fprintf(stderr, "orlex-ui-gallery: cannot write %s\n", png);
        return 1;
    }
    return 0;
}
