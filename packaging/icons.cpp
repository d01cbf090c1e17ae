// Build-time tool: writes the application icon as PNGs for the hicolor icon theme, from the same
// drawing the client uses, so the menu shows what the window shows.
//   renvora-icons OUTDIR SIZE...   ->  OUTDIR/SIZE.png
#include "platform/qt/platform.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: renvora-icons OUTDIR SIZE...\n", stderr);
        return 2;
    }
    QGuiApplication app(argc, argv);
    for (int i = 2; i < argc; ++i) {
        int size = std::atoi(argv[i]);
        if (size < 16 || size > 1024) {
            std::fprintf(stderr, "renvora-icons: bad size '%s'\n", argv[i]);
            return 2;
        }
        std::string file = std::string(argv[1]) + "/" + std::to_string(size) + ".png";
        if (!rv::qt::DrawAppIcon(size).save(QString::fromStdString(file), "PNG")) {
            std::fprintf(stderr, "renvora-icons: cannot write %s\n", file.c_str());
            return 1;
        }
    }
    return 0;
}
