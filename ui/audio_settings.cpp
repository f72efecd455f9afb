#include "ui/audio_settings.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QSlider>
#include <cmath>
#include <iterator>

#include "audio/audio_director.h"
#include "common/preferences.h"
#include "ui/components.h"
#include "ui/theme.h"

namespace orlex::ui {

namespace {

// The labels of the bus rows, in the order of audio::BUSES.
constexpr const char* BUS_LABELS[] = {"Musique", "Ambiance", "Météo", "Effets", "Interface"};
static_assert(std::size(BUS_LABELS) == audio::BUSES.size());

QSlider* volumeSlider(float volume) {
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(0, 100);
    slider->setValue(static_cast<int>(std::lround(volume * 100.0f)));
    slider->setAutoFillBackground(false);
    return slider;
}

float fraction(int value) {
    return static_cast<float>(value) / 100.0f;
}

}  // namespace

QWidget* audioSettings(audio::AudioDirector& director, QWidget* parent) {
    auto* panel = new Surface(parent);
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 0, 0, 0);  // the card's own inner margins hold
    grid->setHorizontalSpacing(14);
    grid->setVerticalSpacing(12);

    int row = 0;
    auto* master = volumeSlider(director.master());
    QObject::connect(master, &QSlider::valueChanged, panel,
                     [&director](int value) { director.master(fraction(value)); });
    grid->addWidget(new QLabel(QStringLiteral("Volume général")), row, 0);
    grid->addWidget(master, row++, 1);
    for (std::size_t i = 0; i < audio::BUSES.size(); ++i) {
        const audio::Bus bus = audio::BUSES[i];
        auto* slider = volumeSlider(director.volume(bus));
        QObject::connect(slider, &QSlider::valueChanged, panel,
                         [&director, bus](int value) { director.volume(bus, fraction(value)); });
        grid->addWidget(new QLabel(QString::fromUtf8(BUS_LABELS[i])), row, 0);
        grid->addWidget(slider, row++, 1);
    }

    auto* reduce = new QCheckBox(QStringLiteral("Réduire les animations"));
    reduce->setChecked(Theme::reduced());
    reduce->setAutoFillBackground(false);
    QObject::connect(reduce, &QCheckBox::clicked, panel, [](bool checked) {
        common::Preferences("com/orlex/ui").putBoolean("reducedMotion", checked);
    });
    grid->addWidget(reduce, row++, 0);

    // Equal cells, as in a plain two-column grid: every column and every row gets the same share.
    for (int column = 0; column < 2; ++column)
        grid->setColumnStretch(column, 1);
    for (int r = 0; r < row; ++r)
        grid->setRowStretch(r, 1);

    Theme::themeTree(panel);
    return panel;
}

}  // namespace orlex::ui
