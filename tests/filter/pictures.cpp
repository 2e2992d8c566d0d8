// filter-pictures: turns captured filter frames into PNG files and one
// contact sheet that shows them side by side, each named below its picture.
//
//   filter-pictures [--note TEXT]... SHEET.png CAPTURE.pam LABEL [CAPTURE.pam LABEL]...
//
// Each CAPTURE.pam is also written as CAPTURE.png beside it, with its label;
// the notes go above the sheet.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image.h"
#include "picture.h"

namespace {

std::string pngPathFor(const std::string& capture) {
    const auto dot = capture.rfind('.');
    const auto slash = capture.rfind('/');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExt ? capture.substr(0, dot) : capture) + ".png";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> notes;
    int first = 1;
    while (first + 1 < argc && strcmp(argv[first], "--note") == 0) {
        notes.push_back(argv[first + 1]);
        first += 2;
    }
    if (argc - first < 3 || (argc - first) % 2 != 1) {
        fprintf(stderr, "usage: %s [--note TEXT]... SHEET.png CAPTURE.pam LABEL [CAPTURE.pam LABEL]...\n", argv[0]);
        return 2;
    }
    LabelFont font(VELMORA_LABEL_FONT);
    if (!font.ok()) {
        fprintf(stderr, "%s: cannot load the font %s\n", argv[0], VELMORA_LABEL_FONT);
        return 1;
    }
    std::vector<Tile> tiles;
    for (int i = first + 1; i < argc; i += 2) {
        auto img = readPam(argv[i]);
        if (!img) {
            fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 1;
        }
        tiles.push_back({argv[i + 1], *img});
        const std::string png = pngPathFor(argv[i]);
        if (!writePng(png, font.sheet({tiles.back()}))) {
            fprintf(stderr, "%s: cannot write %s\n", argv[0], png.c_str());
            return 1;
        }
    }
    if (!writePng(argv[first], font.sheet(tiles, notes))) {
        fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[first]);
        return 1;
    }
    return 0;
}
