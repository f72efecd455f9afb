#include "ui/brand_icon.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QIcon>
#include <QWidget>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "common/failure.h"
#include "launcher/archive.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace orlex::ui {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Makes the process's launcher archive another one for the scope (load() falls back to it).
class ArchiveInUse {
public:
    explicit ArchiveInUse(const fs::path& archive) { launcher::useArchive(archive); }
    ~ArchiveInUse() { launcher::useArchive(ORLEX_LAUNCHER_ARCHIVE); }
    ArchiveInUse(const ArchiveInUse&) = delete;
    ArchiveInUse& operator=(const ArchiveInUse&) = delete;
};

QImage filled(QSize size, QColor colour) {
    QImage picture(size, QImage::Format_ARGB32);
    picture.fill(colour);
    return picture;
}

std::uint32_t littleEndian(const std::vector<std::uint8_t>& bytes, std::size_t at, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes.at(at + static_cast<std::size_t>(i));
    return value;
}

TEST(BrandIcon, MatteIsTheDarkOrClearPartReachedFromTheBorder) {
    const std::map<char, QRgb> colours{
        {'m', qRgba(32, 32, 32, 255)},   // dark enough to be matte
        {'t', qRgba(200, 200, 200, 0)},  // clear: matte whatever its colour
        {'k', qRgba(10, 10, 10, 255)},   // dark: matte when the border reaches it
        {'g', qRgba(33, 0, 0, 255)},     // the glyph, which stops the fill
    };
    // clang-format off
    const std::vector<std::string> source{
        "tmmmmmm",
        "mkggggm",
        "mgkkkgm",
        "mgkgkgm",
        "mgkkkgm",
        "mggggkm",
        "mmmmmmm",
    };
    const std::vector<std::string> kept{
        ".......",
        "..####.",
        ".#####.",
        ".#####.",
        ".#####.",
        ".####..",
        ".......",
    };
    // clang-format on
    QImage picture(7, 7, QImage::Format_ARGB32);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 7; ++x)
            picture.setPixel(x, y, colours.at(source[y][x]));

    const QImage matted = BrandIcon::transparentMatte(picture);

    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 7; ++x) {
            const QRgb before = picture.pixel(x, y);
            const QRgb after = matted.pixel(x, y);
            EXPECT_EQ(qAlpha(after), kept[y][x] == '#' ? qAlpha(before) : 0) << x << "," << y;
            EXPECT_EQ(qRgb(qRed(after), qGreen(after), qBlue(after)),
                      qRgb(qRed(before), qGreen(before), qBlue(before)))
                << x << "," << y;
        }
    }
}

TEST(BrandIcon, SizesDrawThePictureCentredWithinAOnePixelMargin) {
    const struct {
        QSize source;
        int size;
        QRect drawn;
    } cases[] = {
        {{64, 64}, 16, {1, 1, 14, 14}},    {{64, 64}, 32, {1, 1, 30, 30}},
        {{64, 64}, 48, {1, 1, 46, 46}},    {{64, 64}, 64, {1, 1, 62, 62}},
        {{64, 64}, 128, {1, 1, 126, 126}}, {{64, 64}, 256, {1, 1, 254, 254}},
        {{64, 32}, 16, {1, 4, 14, 7}},     {{64, 32}, 256, {1, 64, 254, 127}},
        {{2, 64}, 16, {7, 1, 1, 14}},  // a side never shrinks below one pixel
    };
    const QColor glyph(200, 120, 40);
    for (const auto& [source, size, drawn] : cases) {
        const std::vector<QImage> set = BrandIcon::sizes(filled(source, glyph));
        ASSERT_EQ(set.size(), ICON_SIZES.size());
        const auto index = static_cast<std::size_t>(std::find(ICON_SIZES.begin(), ICON_SIZES.end(), size) -
                                                    ICON_SIZES.begin());
        const QImage& square = set[index];
        ASSERT_EQ(square.size(), QSize(size, size));
        int mismatches = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                mismatches +=
                    square.pixelColor(x, y) != (drawn.contains(x, y) ? glyph : QColor(Qt::transparent));
        EXPECT_EQ(mismatches, 0) << source.width() << "x" << source.height() << " in " << size;
    }
}

TEST(BrandIcon, IcoHoldsThePngOfEachSizeBehindItsDirectory) {
    const std::vector<std::uint8_t> file = BrandIcon::ico(filled({64, 64}, QColor(90, 200, 250)));

    EXPECT_EQ(littleEndian(file, 0, 2), 0u);
    EXPECT_EQ(littleEndian(file, 2, 2), 1u);
    EXPECT_EQ(littleEndian(file, 4, 2), 6u);
    std::size_t offset = 102;
    for (std::size_t k = 0; k < ICON_SIZES.size(); ++k) {
        const int size = ICON_SIZES[k];
        const std::size_t entry = 6 + 16 * k;
        EXPECT_EQ(file[entry], size == 256 ? 0 : size);
        EXPECT_EQ(file[entry + 1], size == 256 ? 0 : size);
        EXPECT_EQ(littleEndian(file, entry + 2, 2), 0u);  // no palette, reserved
        EXPECT_EQ(littleEndian(file, entry + 4, 2), 1u);
        EXPECT_EQ(littleEndian(file, entry + 6, 2), 32u);
        const std::uint32_t length = littleEndian(file, entry + 8, 4);
        EXPECT_EQ(littleEndian(file, entry + 12, 4), offset);
        ASSERT_LE(offset + length, file.size());
        EXPECT_EQ(QImage::fromData(file.data() + offset, static_cast<int>(length), "PNG").size(),
                  QSize(size, size));
        offset += length;
    }
    EXPECT_EQ(file.size(), offset);
}

TEST(BrandIcon, LoadsTheRootsOwnIconElseTheArchivesElseFails) {
    TempDir root;
    const std::optional<launcher::Bytes> bundled = launcher::launcherArchive().resource("/app-icon.png");
    ASSERT_TRUE(bundled);
    EXPECT_EQ(BrandIcon::load(root.path()),
              QImage::fromData(bundled->data(), static_cast<int>(bundled->size())));

    fs::create_directories(root / "assets");
    ASSERT_TRUE(
        filled({20, 10}, Qt::red).save(QString::fromStdString((root / "assets/app-icon.png").string())));
    EXPECT_EQ(BrandIcon::load(root.path()).size(), QSize(20, 10));

    TempDir bare;
    const ArchiveInUse none(bare / "absent.zip");
    try {
        BrandIcon::load(bare.path());
        ADD_FAILURE() << "loaded an icon from nowhere";
    } catch (const common::IoFailure& failure) {
        EXPECT_STREQ(failure.what(), "Icône ORLEX introuvable");
    }
}

TEST(BrandIcon, NativeFilesReplacesOnePngPerSize) {
    TempDir root;
    const fs::path folder = root / "userdata" / "brand-icon-v75";
    test::writeFile(folder / "orlex-16.png", "an older picture");
    std::vector<fs::path> expected;
    for (const int size : ICON_SIZES)
        expected.push_back(folder / ("orlex-" + std::to_string(size) + ".png"));

    EXPECT_EQ(BrandIcon::nativeFiles(root.path(), root / "userdata"), expected);

    for (std::size_t k = 0; k < ICON_SIZES.size(); ++k)
        EXPECT_EQ(QImage(QString::fromStdString(expected[k].string())).size(),
                  QSize(ICON_SIZES[k], ICON_SIZES[k]));
    EXPECT_EQ(test::listFiles(folder),
              (std::vector<std::string>{"orlex-128.png", "orlex-16.png", "orlex-256.png", "orlex-32.png",
                                        "orlex-48.png", "orlex-64.png"}));
}

TEST(BrandIcon, ApplyGivesTheWindowTheIconSetOrSaysWhyNot) {
    TempDir root;
    const QIcon applicationIcon = QGuiApplication::windowIcon();
    QWidget window;

    BrandIcon::apply(&window, root.path());
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    const QList<QSize> application = QGuiApplication::windowIcon().availableSizes();
    QGuiApplication::setWindowIcon(applicationIcon);

    EXPECT_EQ(sizes, (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));
    EXPECT_EQ(application, QList<QSize>{QSize(256, 256)});

    const ArchiveInUse none(root / "absent.zip");
    testing::internal::CaptureStderr();
    BrandIcon::apply(&window, root.path());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Icône ORLEX : orlex::common::IoFailure\n");
    EXPECT_EQ(window.windowIcon().availableSizes(), sizes);
}

}  // namespace
}  // namespace orlex::ui
