// bmpgen: turns one text pixel map (see pixmap.hpp) into a .bmp file.
//
//     bmpgen MAP.txt OUT.bmp
//     bmpgen --version
//
// Runs at build time; any fault in the map is reported as FILE:LINE and ends
// the program with exit code 1, so a typo in a picture fails the build. The
// output file is only written once the whole map has been read.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "pixmap.hpp"
#include "tools/guarded_main.h"
#include "version/program_version.h"

namespace {

int run(int argc, char** argv) {
    if (q7::version_requested(argc, argv)) return q7::print_version("quorlan7-bmpgen");
    if (argc != 3) {
        std::cerr << "usage: bmpgen MAP.txt OUT.bmp | --version\n";
        return 2;
    }
    const std::string in_path = argv[1];
    const std::string out_path = argv[2];

    std::ifstream in(in_path, std::ios::binary);
    if (!in) {
        std::cerr << "bmpgen: cannot open " << in_path << "\n";
        return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();

    std::vector<std::uint8_t> bmp;
    try {
        bmp = q7res::encode_bmp(q7res::parse_pixel_map(text.str()));
    } catch (const q7res::MapError& e) {
        std::cerr << in_path << ":" << e.line() << ": error: " << e.what() << "\n";
        return 1;
    }

    std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bmp.data()), static_cast<std::streamsize>(bmp.size()));
    out.close();
    if (!out) {
        std::cerr << "bmpgen: cannot write " << out_path << "\n";
        std::remove(out_path.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return q7tools::guarded_main("quorlan7-bmpgen", run, argc, argv); }
