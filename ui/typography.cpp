#include "ui/typography.h"

#include <QByteArray>
#include <QFontDatabase>
#include <QStringList>

#include "launcher/archive.h"
#include "ui/theme.h"

namespace orlex::ui {

namespace {

const QFont& base() {
    static const QFont face = [] {
        try {
            if (auto bytes = launcher::launcherArchive().resource("/ui-body.ttf")) {
                const int id = QFontDatabase::addApplicationFontFromData(QByteArray(
                    reinterpret_cast<const char*>(bytes->data()), static_cast<qsizetype>(bytes->size())));
                const QStringList families =
                    id >= 0 ? QFontDatabase::applicationFontFamilies(id) : QStringList();
                if (!families.isEmpty()) {
                    QFont f(families.first());
                    f.setPixelSize(16);
                    return f;
                }
            }
        } catch (...) {
            // An unreadable archive leaves the fallback face; nothing is reported.
        }
        return Theme::sans(16);
    }();
    return face;
}

}  // namespace

QFont Typography::font(int style, double size) {
    QFont f = base();
    f.setBold(style & BOLD);
    f.setItalic(style & ITALIC);
    f.setPixelSize(std::max(1, static_cast<int>(size + 0.5)));
    return f;
}

QString Typography::family() {
    return base().family();
}

}  // namespace orlex::ui
