// RGB pictures: the pixel buffer with its clipped fills and copies,
// nearest-neighbour enlargement, and PNG files written and read.
#include "host/image.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace q7host {

Image::Image(int width, int height, Rgb fill)
    : width_(width > 0 ? width : 0),
      height_(height > 0 ? height : 0),
      pixels_(static_cast<std::size_t>(width_) * height_ * 3) {
    fill_rect(0, 0, width_, height_, fill);
}

void Image::fill_rect(int x, int y, int w, int h, Rgb c) {
    // Only the part on the picture, whatever size the rectangle claims.
    const int x0 = static_cast<int>(std::max<std::int64_t>(x, 0));
    const int y0 = static_cast<int>(std::max<std::int64_t>(y, 0));
    const int x1 = static_cast<int>(std::min<std::int64_t>(std::int64_t{x} + std::max(w, 0), width_));
    const int y1 = static_cast<int>(std::min<std::int64_t>(std::int64_t{y} + std::max(h, 0), height_));
    if (x0 >= x1) return;
    for (int yy = y0; yy < y1; ++yy) {
        std::uint8_t* p = &pixels_[(static_cast<std::size_t>(yy) * width_ + x0) * 3];
        for (int xx = x0; xx < x1; ++xx, p += 3) {
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    }
}

void Image::blit(const Image& src, int x, int y, const Rgb* transparent) { blit_scaled(src, 1, x, y, transparent); }

void Image::blit_scaled(const Image& src, int factor, int x, int y, const Rgb* transparent) {
    if (factor < 1) factor = 1;
    // Only destination pixels on this picture are visited, however far off
    // it the source lies.
    const std::int64_t w = std::int64_t{src.width()} * factor, h = std::int64_t{src.height()} * factor;
    const int x0 = static_cast<int>(std::max<std::int64_t>(x, 0));
    const int y0 = static_cast<int>(std::max<std::int64_t>(y, 0));
    const int x1 = static_cast<int>(std::min<std::int64_t>(x + w, width_));
    const int y1 = static_cast<int>(std::min<std::int64_t>(y + h, height_));
    for (int yy = y0; yy < y1; ++yy) {
        const int sy = static_cast<int>((std::int64_t{yy} - y) / factor);
        for (int xx = x0; xx < x1; ++xx) {
            const Rgb c = src.at(static_cast<int>((std::int64_t{xx} - x) / factor), sy);
            if (transparent && c == *transparent) continue;
            set(xx, yy, c);
        }
    }
}

Image Image::scaled(int factor) const {
    if (factor <= 1) return *this;
    Image out(width_ * factor, height_ * factor);
    out.blit_scaled(*this, factor, 0, 0);
    return out;
}

namespace {

// libpng reports errors by calling this, which must not return; a jump back
// to the writer's setjmp is libpng's own way out.
[[noreturn]] void png_failed(png_structp png, png_const_charp) { png_longjmp(png, 1); }

void png_warned(png_structp, png_const_charp) {}

// Writes the picture enlarged `scale` times into an open file, one enlarged
// row at a time. No C++ object is made between setjmp and the end of the
// function, so a jump back from libpng leaks nothing.
bool write_png_rows(FILE* file, const Image& image, int scale, std::uint8_t* row) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_failed, png_warned);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    const auto width = static_cast<png_uint_32>(image.width()) * static_cast<png_uint_32>(scale);
    const auto height = static_cast<png_uint_32>(image.height()) * static_cast<png_uint_32>(scale);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    // An enlarged picture repeats each row `scale` times, which the "up"
    // filter turns into zeros; trying every filter on every row, libpng's
    // default, costs more than it saves on pictures like these.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_write_info(png, info);
    const std::uint8_t* pixels = image.rgb().data();
    const std::size_t stride = static_cast<std::size_t>(image.width()) * 3;
    for (int y = 0; y < image.height(); ++y) {
        const std::uint8_t* src = pixels + stride * static_cast<std::size_t>(y);
        std::uint8_t* out = row;
        for (int x = 0; x < image.width(); ++x) {
            for (int k = 0; k < scale; ++k, out += 3) std::memcpy(out, src + 3 * x, 3);
        }
        for (int k = 0; k < scale; ++k) png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool write_png(const std::string& path, const Image& image, std::string& error, int scale) {
    if (scale < 1) scale = 1;
    if (image.empty()) {
        error = "cannot write " + path + ": the picture is empty";
        return false;
    }
    std::string temp = path + ".partial-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp creates the file readable by its owner only; give it the usual
    // permissions of a new file.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::close(fd);
        unlink(temp.c_str());
        return false;
    }
    std::vector<std::uint8_t> row(static_cast<std::size_t>(image.width()) * scale * 3);
    errno = 0;
    const bool written = write_png_rows(file, image, scale, row.data());
    const int saved = errno;
    const bool flushed = std::fflush(file) == 0;
    const int flush_errno = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !flushed || !closed) {
        const int why = !written ? saved : !flushed ? flush_errno : errno;
        error = "cannot write " + path + (why ? std::string(": ") + std::strerror(why) : std::string(" as PNG"));
        unlink(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

std::optional<Image> read_png(const std::string& path, std::string& error) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        error = path + ": " + png.message;
        return std::nullopt;
    }
    png.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr)) {
        error = path + ": " + png.message;
        png_image_free(&png);
        return std::nullopt;
    }
    Image out(static_cast<int>(png.width), static_cast<int>(png.height));
    for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width(); ++x) {
            const std::size_t i = (static_cast<std::size_t>(y) * out.width() + x) * 3;
            out.set(x, y, {rgb[i], rgb[i + 1], rgb[i + 2]});
        }
    }
    return out;
}

}  // namespace q7host
