// What the viewer writes, made safe to write: pictures of a size any PNG
// reader opens, files only where a regular file may be replaced, a route's
// contact sheet built a page at a time, and a route's output folder replaced
// only once everything new is written, or not at all.
#pragma once

#include "host/image.h"
#include "host/text_painter.h"
#include "tools/view_options.h"

#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace q7view {

// Empty when `path` may be written: nothing is there, or a regular file is
// (not a symbolic link, folder, pipe or device).
std::string check_output_file(const std::string& path);

// While one lives, SIGINT, SIGTERM and SIGHUP only raise a flag, which long
// work checks between frames so that it can clean up before it stops.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    static bool interrupted();

private:
    struct sigaction old_[3];
};

// A route's frames side by side, up to five to a row, each with a caption
// under it where the frame is wide enough for legible letters. When one
// picture would be too big the sheet is split into pages ("sheet-1.png",
// "sheet-2.png", ...). The layout is fixed before the first frame, so a
// sheet that cannot be made is refused before any work, and only the page
// being filled is held in memory.
class ContactSheet {
public:
    // Frames of `frame_width` x `frame_height` pixels, enlarged, `count` of
    // them, the sheet at `path` (pages named after it).
    static std::optional<ContactSheet> plan(int frame_width, int frame_height, int count,
                                            const std::filesystem::path& path, q7host::TextPainter& painter,
                                            std::string& error);

    const std::vector<std::filesystem::path>& pages() const { return pages_; }
    // Whether the next frame begins a page, and which page it goes on.
    bool starts_page() const { return added_ % (rows_per_page_ * columns_) == 0; }
    std::size_t next_page() const { return static_cast<std::size_t>(added_ / (rows_per_page_ * columns_)); }

    // Adds the next frame (not enlarged; drawn `scale` times larger) and its
    // caption; a page is written into `where(page)` as soon as it is full.
    bool add(const q7host::Image& frame, int scale, const std::string& caption, const std::filesystem::path& where,
             std::string& error);

private:
    ContactSheet(q7host::TextPainter& painter) : painter_(&painter) {}

    q7host::TextPainter* painter_;
    std::optional<q7host::FontChoice> font_;
    int frame_w_ = 0, frame_h_ = 0, caption_h_ = 0, columns_ = 1, rows_per_page_ = 1, count_ = 0;
    int added_ = 0;
    std::vector<std::filesystem::path> pages_;
    q7host::Image page_;
};

// A route's output: a fresh folder beside the destination that receives
// everything, and files outside it written under temporary names beside
// their own destinations. commit() moves them all into place at once; until
// then, and whenever commit() is never reached, the earlier output stays as
// it was and the temporary files are removed.
class RouteOutput {
public:
    static std::optional<RouteOutput> begin(const std::filesystem::path& folder, std::string& error);
    RouteOutput(RouteOutput&& other) noexcept;
    RouteOutput& operator=(RouteOutput&&) = delete;
    ~RouteOutput();

    // Where a file of the folder is written now.
    std::filesystem::path inside(const std::string& name) const { return temp_ / name; }
    // Where a file outside the folder, at `destination`, is written now.
    std::filesystem::path outside(const std::filesystem::path& destination);

    // `replaceable` says whether what is at the destination folder now may
    // be replaced (checked again here, just before replacing).
    bool commit(std::string (*replaceable)(const std::filesystem::path&), std::string& error);

private:
    RouteOutput() = default;
    void discard();

    std::filesystem::path folder_, temp_;
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> outside_;  // temporary, destination
};

}  // namespace q7view
