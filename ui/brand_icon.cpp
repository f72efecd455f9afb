#include "ui/brand_icon.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <string>

#include "common/failure.h"
#include "common/file_system.h"
#include "common/type_name.h"
#include "common/uuid.h"
#include "launcher/archive.h"

namespace orlex::ui {
namespace {

// Keys' cubic convolution kernel with a = -0.5: the usual bicubic.
double cubic(double x) {
    x = std::abs(x);
    if (x < 1)
        return (1.5 * x - 2.5) * x * x + 1;
    if (x < 2)
        return ((-0.5 * x + 2.5) * x - 4) * x + 2;
    return 0;
}

// The source pixels (from first on) and their weights behind one target pixel along one axis.
struct Taps {
    int first = 0;
    std::vector<float> weights;
};

// Shrinking stretches the kernel by the reduction, so that every source pixel counts instead of a few
// sampled ones; weights outside the picture are dropped and the others scaled back to a sum of 1.
std::vector<Taps> tapsFor(int from, int to) {
    const double scale = static_cast<double>(from) / to;
    const double stretch = std::max(1.0, scale);
    std::vector<Taps> all(static_cast<std::size_t>(to));
    for (int i = 0; i < to; ++i) {
        const double centre = (i + 0.5) * scale;
        const int first = std::max(0, static_cast<int>(std::floor(centre - 2 * stretch)));
        const int last = std::min(from - 1, static_cast<int>(std::ceil(centre + 2 * stretch)));
        Taps& taps = all[static_cast<std::size_t>(i)];
        taps.first = first;
        double sum = 0;
        for (int k = first; k <= last; ++k) {
            const double weight = cubic((k + 0.5 - centre) / stretch);
            taps.weights.push_back(static_cast<float>(weight));
            sum += weight;
        }
        for (float& weight : taps.weights)
            weight = static_cast<float>(weight / sum);
    }
    return all;
}

// picture resampled bicubically to width x height, premultiplied so that the colour of transparent
// pixels never bleeds into their neighbours.
QImage resampled(const QImage& picture, int width, int height) {
    const QImage source = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const std::vector<Taps> across = tapsFor(source.width(), width);
    const std::vector<Taps> down = tapsFor(source.height(), height);
    const auto at = [width](int x, int y) { return (static_cast<std::size_t>(y) * width + x) * 4; };

    std::vector<float> rows(static_cast<std::size_t>(width) * source.height() *
                            4);  // alpha, red, green, blue
    for (int y = 0; y < source.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            const Taps& taps = across[static_cast<std::size_t>(x)];
            float* out = &rows[at(x, y)];
            for (std::size_t k = 0; k < taps.weights.size(); ++k) {
                const QRgb pixel = line[static_cast<std::size_t>(taps.first) + k];
                const float weight = taps.weights[k];
                out[0] += weight * qAlpha(pixel);
                out[1] += weight * qRed(pixel);
                out[2] += weight * qGreen(pixel);
                out[3] += weight * qBlue(pixel);
            }
        }
    }
    QImage result(width, height, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < height; ++y) {
        const Taps& taps = down[static_cast<std::size_t>(y)];
        auto* line = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < width; ++x) {
            float sum[4] = {};
            for (std::size_t k = 0; k < taps.weights.size(); ++k) {
                const float* in = &rows[at(x, taps.first + static_cast<int>(k))];
                for (int c = 0; c < 4; ++c)
                    sum[c] += taps.weights[k] * in[c];
            }
            // The kernel's negative lobes can overshoot: keep every channel within 0 and the alpha.
            const int alpha = std::clamp(static_cast<int>(std::lround(sum[0])), 0, 255);
            const auto channel = [alpha](float value) {
                return std::clamp(static_cast<int>(std::lround(value)), 0, alpha);
            };
            line[x] = qRgba(channel(sum[1]), channel(sum[2]), channel(sum[3]), alpha);
        }
    }
    return result;
}

QByteArray png(const QImage& picture) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!picture.save(&buffer, "PNG"))
        throw common::IoFailure("Encodage PNG impossible");
    return bytes;
}

QImage decoded(const std::vector<std::uint8_t>& bytes, const std::string& where) {
    QImage picture;
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
        !picture.loadFromData(bytes.data(), static_cast<int>(bytes.size())))
        throw common::IoFailure("Icône ORLEX illisible : " + where);
    return picture;
}

void putLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

QImage BrandIcon::transparentMatte(const QImage& source) {
    QImage copy = source.convertToFormat(QImage::Format_ARGB32);
    const std::size_t width = static_cast<std::size_t>(copy.width());
    const std::size_t height = static_cast<std::size_t>(copy.height());
    if (width == 0 || height == 0)
        return copy;
    const auto pixel = [&](std::size_t index) -> QRgb& {
        return reinterpret_cast<QRgb*>(copy.scanLine(static_cast<int>(index / width)))[index % width];
    };
    // A pixel is marked when queued, so each is queued once; the pixels reached are the same as when
    // marking them as they are taken, in a queue no longer than the picture.
    std::vector<bool> queued(width * height);
    std::vector<std::size_t> queue;
    const auto enqueue = [&](std::size_t index) {
        if (!queued[index]) {
            queued[index] = true;
            queue.push_back(index);
        }
    };
    for (std::size_t x = 0; x < width; ++x) {
        enqueue(x);
        enqueue((height - 1) * width + x);
    }
    for (std::size_t y = 0; y < height; ++y) {
        enqueue(y * width);
        enqueue(y * width + width - 1);
    }
    for (std::size_t next = 0; next < queue.size(); ++next) {
        const std::size_t index = queue[next];
        QRgb& colour = pixel(index);
        if (qAlpha(colour) != 0 && std::max({qRed(colour), qGreen(colour), qBlue(colour)}) > 32)
            continue;  // the glyph
        colour = qRgba(qRed(colour), qGreen(colour), qBlue(colour), 0);
        const std::size_t x = index % width;
        if (x > 0)
            enqueue(index - 1);
        if (x < width - 1)
            enqueue(index + 1);
        if (index >= width)
            enqueue(index - width);
        if (index < width * (height - 1))
            enqueue(index + width);
    }
    return copy;
}

std::vector<QImage> BrandIcon::sizes(const QImage& picture) {
    const QImage matted = transparentMatte(picture);
    std::vector<QImage> set;
    for (const int size : ICON_SIZES) {
        QImage square(size, size, QImage::Format_ARGB32_Premultiplied);
        square.fill(Qt::transparent);
        if (!matted.isNull()) {
            const double fit = static_cast<double>(size - 2) / std::max(matted.width(), matted.height());
            const int width = std::max(1, static_cast<int>(std::lround(matted.width() * fit)));
            const int height = std::max(1, static_cast<int>(std::lround(matted.height() * fit)));
            const QImage drawing = resampled(matted, width, height);
            const int left = (size - width) / 2;
            const int top = (size - height) / 2;
            for (int y = 0; y < height; ++y)
                std::memcpy(square.scanLine(top + y) + left * 4, drawing.constScanLine(y),
                            static_cast<std::size_t>(width) * 4);
        }
        set.push_back(square.convertToFormat(QImage::Format_ARGB32));
    }
    return set;
}

std::vector<std::uint8_t> BrandIcon::ico(const QImage& source) {
    const std::vector<QImage> set = sizes(source);
    std::vector<QByteArray> pngs;
    for (const QImage& picture : set)
        pngs.push_back(png(picture));

    std::vector<std::uint8_t> file;
    putLittleEndian(file, 0, 2);  // reserved
    putLittleEndian(file, 1, 2);  // an icon, not a cursor
    putLittleEndian(file, static_cast<std::uint32_t>(set.size()), 2);
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * set.size());
    for (std::size_t k = 0; k < set.size(); ++k) {
        const int size = set[k].width();
        const std::uint8_t side = size >= 256 ? 0 : static_cast<std::uint8_t>(size);  // one byte: 256 is 0
        file.push_back(side);
        file.push_back(side);
        file.push_back(0);             // no palette
        file.push_back(0);             // reserved
        putLittleEndian(file, 1, 2);   // colour planes
        putLittleEndian(file, 32, 2);  // bits per pixel
        const auto length = static_cast<std::uint32_t>(pngs[k].size());
        putLittleEndian(file, length, 4);
        putLittleEndian(file, offset, 4);
        offset += length;
    }
    for (const QByteArray& bytes : pngs)
        file.insert(file.end(), bytes.begin(), bytes.end());
    return file;
}

QImage BrandIcon::load(const std::filesystem::path& root) {
    const std::filesystem::path own = root / "assets" / "app-icon.png";
    if (common::nodeKind(own) == common::NodeKind::Regular) {
        const common::SmallFile file = common::readSmallFile(own, launcher::MAX_RESOURCE_BYTES);
        if (file.kind != common::NodeKind::Regular || file.oversized)
            throw common::IoFailure("Icône ORLEX illisible : " + own.string());
        return decoded(file.bytes, own.string());
    }
    const std::optional<launcher::Bytes> bundled = launcher::launcherArchive().resource("/app-icon.png");
    if (!bundled)
        throw common::IoFailure("Icône ORLEX introuvable");
    return decoded(*bundled, "/app-icon.png");
}

void BrandIcon::apply(QWidget* window, const std::filesystem::path& root) {
    try {
        const std::vector<QImage> set = sizes(load(root));
        QIcon icon;
        for (const QImage& picture : set)
            icon.addPixmap(QPixmap::fromImage(picture));
        window->setWindowIcon(icon);
        // The task bar or dock shows the application's icon; there is none without a GUI application.
        if (qGuiApp != nullptr)
            QGuiApplication::setWindowIcon(QIcon(QPixmap::fromImage(set.back())));
    } catch (const std::exception& failure) {
        std::cerr << "Icône ORLEX : " << common::typeName(typeid(failure)) << std::endl;
    }
}

std::vector<std::filesystem::path> BrandIcon::nativeFiles(const std::filesystem::path& root,
                                                          const std::filesystem::path& userdata) {
    const std::vector<QImage> set = sizes(load(root));
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(userdata / "brand-icon-v75", error);
    if (error)
        throw common::IoFailure("Dossier inaccessible : " + userdata.string() + " (" + error.message() + ")");
    common::createDirectories(folder);
    std::vector<std::filesystem::path> written;
    for (const QImage& picture : set) {
        const QByteArray bytes = png(picture);
        const std::filesystem::path target = folder / ("orlex-" + std::to_string(picture.width()) + ".png");
        const std::filesystem::path temporary = folder / ("icon-" + common::randomUuid() + ".png");
        struct RemoveAtEnd {
            const std::filesystem::path& file;
            ~RemoveAtEnd() {
                try {
                    common::removeNode(file);  // gone already once moved
                } catch (const common::IoFailure&) {
                    // The failure that brought us here, if any, is the one to report.
                }
            }
        } removeAtEnd{temporary};
        common::writeNewFile(
            temporary,
            {reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<std::size_t>(bytes.size())},
            {});
        common::replaceFile(temporary, target);
        written.push_back(target);
    }
    return written;
}

}  // namespace orlex::ui
