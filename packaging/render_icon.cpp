// Renders the program's SVG icon at build time into C++ source: the pixels of a SIZE x SIZE
// image, premultiplied ARGB, one 32-bit word each. The program builds its window icon from them
// without loading an image or SVG plugin at start-up.
// Usage: tambrook_render_icon ICON.svg OUT.inc SIZE
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s ICON.svg OUT.inc SIZE\n", argv[0]);
        return 2;
    }
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "%s: not a readable SVG\n", argv[1]);
        return 1;
    }
    const int size = std::atoi(argv[3]);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    svg.render(&painter);
    painter.end();
    std::FILE* out = std::fopen(argv[2], "w");
    if (!out)
        return 1;
    std::fprintf(out, "// Generated from %s by tambrook_render_icon.\n", argv[1]);
    std::fprintf(out, "constexpr int kIconSize = %d;\nconstexpr unsigned kIconPixels[] = {", size);
    for (int y = 0; y < size; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < size; ++x)
            std::fprintf(out, "%s0x%08x,", x % 8 ? " " : "\n    ", line[x]);
    }
    std::fprintf(out, "\n};\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
