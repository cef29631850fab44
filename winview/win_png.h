// What quorlan7-view.exe writes: PNG pictures through the Windows Imaging
// Component, enlarged a row at a time (the enlarged picture is never held in
// memory), under a temporary name beside the file and moved into place, so a
// failed run leaves no partial file; and only where nothing is or a regular
// file is.
#pragma once

#include <cstdint>
#include <string>

namespace q7win {

// Empty when `path` may be written: nothing is there, or a regular file is
// (not a folder, a symbolic link or junction, a device or a pipe).
std::string check_output_file(const std::string& path);

// Writes `width` x `height` pixels (rows top to bottom, blue, green, red and
// an unused byte each) enlarged `scale` times, nearest neighbour, as an RGB
// PNG file at `path`.
bool write_png(const std::string& path, const std::uint8_t* pixels, int width, int height, int scale,
               std::string& error);

}  // namespace q7win
