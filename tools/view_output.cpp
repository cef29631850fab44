#include "tools/view_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace fs = std::filesystem;

namespace q7view {

std::string check_output_file(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? std::string() : "cannot write " + path + ": " + std::strerror(errno);
    }
    if (S_ISREG(st.st_mode)) return {};
    const char* what = S_ISLNK(st.st_mode)    ? "a symbolic link"
                       : S_ISDIR(st.st_mode)  ? "a folder"
                       : S_ISFIFO(st.st_mode) ? "a pipe"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "a device";
    return path + " is " + std::string(what) + ", not a regular file; the viewer replaces only regular files";
}

namespace {

constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<bool> g_interrupted{false};

void on_interrupt(int) { g_interrupted = true; }

}  // namespace

InterruptGuard::InterruptGuard() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &old_[i]);
}

InterruptGuard::~InterruptGuard() {
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &old_[i], nullptr);
}

bool InterruptGuard::interrupted() { return g_interrupted; }

namespace {

constexpr int kGap = 8;
constexpr int kMaxColumns = 5;
// The caption font is chosen once for the whole sheet, for a caption this
// long ("12  GGATE  12 nm  hdg 330" and a little more); longer ones are cut
// at the frame's edges.
constexpr int kCaptionChars = 26;
const q7host::Rgb kBackground{40, 40, 40}, kInk{220, 220, 220};

}  // namespace

std::optional<ContactSheet> ContactSheet::plan(int frame_width, int frame_height, int count, const fs::path& path,
                                               q7host::TextPainter& painter, std::string& error) {
    ContactSheet s(painter);
    s.frame_w_ = frame_width;
    s.frame_h_ = frame_height;
    s.count_ = count;
    if (count <= 0) return s;
    std::string ignored;
    // Captions only where a frame is wide enough to carry legible letters.
    if (frame_width >= 120) s.font_ = painter.choose({"monospace", 400, 1}, frame_width, 18, kCaptionChars, ignored);
    s.caption_h_ = s.font_ ? s.font_->cell_height() + 4 : 0;

    // A cell is a frame, its caption and the gap after them; a page is the
    // gap at its top-left and whole cells.
    const std::int64_t cell_w = std::int64_t{frame_width} + kGap;
    const std::int64_t cell_h = std::int64_t{frame_height} + s.caption_h_ + kGap;
    if (kGap + cell_w > kMaxPictureSide || kGap + cell_h > kMaxPictureSide ||
        (kGap + cell_w) * (kGap + cell_h) > kMaxPicturePixels) {
        error = "one frame of the contact sheet would be " + std::to_string(frame_width) + " x " +
                std::to_string(frame_height) + " pixels, too big for a picture; choose a smaller --scale";
        return std::nullopt;
    }
    const std::int64_t columns_fit =
        std::min((kMaxPictureSide - kGap) / cell_w, (kMaxPicturePixels / (kGap + cell_h) - kGap) / cell_w);
    s.columns_ = static_cast<int>(std::clamp<std::int64_t>(columns_fit, 1, std::min(kMaxColumns, count)));
    const std::int64_t width = kGap + s.columns_ * cell_w;
    const std::int64_t rows_fit =
        std::min((kMaxPictureSide - kGap) / cell_h, (kMaxPicturePixels / width - kGap) / cell_h);
    const int rows_needed = (count + s.columns_ - 1) / s.columns_;
    s.rows_per_page_ = static_cast<int>(std::clamp<std::int64_t>(rows_fit, 1, rows_needed));
    const int per_page = s.rows_per_page_ * s.columns_;
    const int pages = (count + per_page - 1) / per_page;
    if (pages == 1) {
        s.pages_.push_back(path);
    } else {
        for (int i = 1; i <= pages; ++i) {
            fs::path page = path;
            page.replace_filename(path.stem().string() + "-" + std::to_string(i) + path.extension().string());
            s.pages_.push_back(page);
        }
    }
    return s;
}

bool ContactSheet::add(const q7host::Image& frame, int scale, const std::string& caption, const fs::path& where,
                       std::string& error) {
    const int per_page = rows_per_page_ * columns_;
    const int slot = added_ % per_page;
    if (slot == 0) {
        // A page only as big as the frames it will hold.
        const int on_page = std::min(count_ - added_, per_page);
        const int columns = std::min(columns_, on_page), rows = (on_page + columns_ - 1) / columns_;
        page_ = q7host::Image(kGap + columns * (frame_w_ + kGap), kGap + rows * (frame_h_ + caption_h_ + kGap),
                              kBackground);
    }
    const int col = slot % columns_, row = slot / columns_;
    const int x = kGap + col * (frame_w_ + kGap), y = kGap + row * (frame_h_ + caption_h_ + kGap);
    page_.blit_scaled(frame, scale, x, y);
    if (font_) {
        painter_->draw(page_, *font_, x, y + frame_h_, frame_w_, caption_h_, caption,
                       q7host::draw_text::kCenter | q7host::draw_text::kVCenter | q7host::draw_text::kSingleLine |
                           q7host::draw_text::kNoPrefix,
                       kInk);
    }
    ++added_;
    if (added_ % per_page == 0 || added_ == count_) {
        const bool ok = q7host::write_png(where.string(), page_, error);
        page_ = {};
        return ok;
    }
    return true;
}

std::optional<RouteOutput> RouteOutput::begin(const fs::path& folder, std::string& error) {
    RouteOutput out;
    out.folder_ = folder;
    const fs::path parent = folder.parent_path().empty() ? fs::path(".") : folder.parent_path();
    std::string name = (parent / (folder.filename().string() + ".partial-XXXXXX")).string();
    if (!mkdtemp(name.data())) {
        error = "cannot create the folder " + folder.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    out.temp_ = name;
    return out;
}

RouteOutput::RouteOutput(RouteOutput&& other) noexcept
    : folder_(std::move(other.folder_)), temp_(std::move(other.temp_)), outside_(std::move(other.outside_)) {
    other.temp_.clear();
    other.outside_.clear();
}

RouteOutput::~RouteOutput() { discard(); }

void RouteOutput::discard() {
    std::error_code ec;
    if (!temp_.empty()) fs::remove_all(temp_, ec);
    for (const auto& [temp, destination] : outside_) fs::remove(temp, ec);
    temp_.clear();
    outside_.clear();
}

fs::path RouteOutput::outside(const fs::path& destination) {
    // Beside its destination, so that moving it into place is a rename
    // within one file system.
    fs::path temp = destination;
    temp += ".partial-" + std::to_string(getpid()) + "-" + std::to_string(outside_.size());
    outside_.emplace_back(temp, destination);
    return temp;
}

bool RouteOutput::commit(std::string (*replaceable)(const fs::path&), std::string& error) {
    if (std::string why = replaceable(folder_); !why.empty()) {
        error = why;
        return false;
    }
    // The earlier folder steps aside under a temporary name, the new one
    // takes its place, and only then is the earlier one removed; should the
    // second step fail, the earlier folder is put back.
    std::error_code ec;
    fs::path old;
    if (fs::exists(fs::symlink_status(folder_, ec))) {
        old = temp_;
        old += ".old";
        fs::rename(folder_, old, ec);
        if (ec) {
            error = "cannot replace the folder " + folder_.string() + ": " + ec.message();
            return false;
        }
    }
    fs::rename(temp_, folder_, ec);
    if (ec) {
        std::error_code ignored;
        if (!old.empty()) fs::rename(old, folder_, ignored);
        error = "cannot create the folder " + folder_.string() + ": " + ec.message();
        return false;
    }
    temp_.clear();
    if (!old.empty()) fs::remove_all(old, ec);
    for (const auto& [temp, destination] : outside_) {
        fs::rename(temp, destination, ec);
        if (ec) {
            error = "cannot write " + destination.string() + ": " + ec.message();
            discard();
            return false;
        }
    }
    outside_.clear();
    return true;
}

}  // namespace q7view
