#pragma once

#include <QImage>
#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

class QWidget;

namespace orlex::ui {

// The pixel sizes of the product's icon set, always in this order.
inline constexpr std::array<int, 6> ICON_SIZES{16, 32, 48, 64, 128, 256};

// The product's application icon, a square glyph on a dark matte, made into the icon set of the
// launcher's windows, the Windows icon file of its shortcuts and loose picture files. No shared state:
// everything but apply() runs on any thread.
class BrandIcon {
public:
    // A new ARGB copy of source whose matte is fully transparent, its colours kept. A pixel is matte when
    // it is fully transparent or none of its red, green and blue is above 32; the matte that counts is
    // what the border reaches through matte pixels (left, right, up, down), so dark parts enclosed by the
    // glyph stay.
    static QImage transparentMatte(const QImage& source);

    // The icon set: for each of ICON_SIZES a transparent square picture with the matted picture drawn in,
    // resampled bicubically to fit size - 2 with its aspect kept (each side rounded, at least 1) and
    // centred (integer division), so that a transparent margin of at least one pixel remains. A null
    // picture gives empty squares.
    static std::vector<QImage> sizes(const QImage& picture);

    // The Windows icon file of the icon set of source: the 6-byte header (0, type 1, count 6), one 16-byte
    // entry per size (width and height bytes, 256 written as 0; no palette; 1 plane; 32 bits; PNG length;
    // offset from the start), then the PNG files back to back in size order. Little-endian throughout.
    static std::vector<std::uint8_t> ico(const QImage& source);

    // The icon picture: root/"assets/app-icon.png" when that is a regular file (a link is not), else
    // the launcher archive's "/app-icon.png" (launcher::launcherArchive()). Fails with
    // IoFailure("Icône ORLEX introuvable") when neither exists, and with IoFailure("Icône ORLEX illisible
    // : <where>") when the one found is no picture.
    static QImage load(const std::filesystem::path& root);

    // GUI thread; window is not null. Gives window the icon set of load(root) as its icons and, where a
    // GUI application runs, makes the 256-pixel picture the application's icon, which the task bar or
    // dock shows. Never throws: a failure writes "Icône ORLEX : " and the failure's type to standard
    // error, and the window keeps the icons it had.
    static void apply(QWidget* window, const std::filesystem::path& root);

    // Writes the icon set of load(root) as the PNG files userdata/"brand-icon-v75"/"orlex-<size>.png"
    // (the folder made with its parents), each written to a fresh "icon-*.png" beside it and moved over
    // the target, so that a reader never sees half a picture. Returns their absolute paths in size order.
    // Fails with IoFailure; no temporary file stays behind.
    static std::vector<std::filesystem::path> nativeFiles(const std::filesystem::path& root,
                                                          const std::filesystem::path& userdata);
};

}  // namespace orlex::ui
