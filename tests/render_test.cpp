// Pixel facts of frames the renderer paints from the running module: where
// the dot lands and what shows through its corners, where text may appear,
// which font the text boxes get; and the picture plumbing under it (bitmap
// decoding, PNG files).
#include "host/renderer.h"
#include "support/module_file.h"
#include "support/test_support.h"

#include <array>
#include <cmath>
#include <filesystem>
#include <limits>
#include <ostream>
#include <set>

#include <unistd.h>

using namespace q7test;
using q7host::Image;
using q7host::Rgb;

namespace {

constexpr Rgb kPureGreen{0, 255, 0};
constexpr Rgb kPureBlack{0, 0, 0};

struct Rect {
    int x, y, w, h;
    bool contains(int px, int py) const { return px >= x && py >= y && px < x + w && py < y + h; }
};

bool in_any(const std::vector<Rect>& boxes, int x, int y) {
    return std::any_of(boxes.begin(), boxes.end(), [&](const Rect& r) { return r.contains(x, y); });
}

// The pixels of one colour inside a rectangle: how many, and how far they
// reach (left, right, top, bottom); without any, an extent no check accepts.
struct Ink {
    int pixels = 0;
    std::array<int, 4> extent{std::numeric_limits<int>::max(), -1, std::numeric_limits<int>::max(), -1};
};
Ink ink_of(const Image& picture, const Rect& r, Rgb colour) {
    Ink ink;
    auto& [left, right, top, bottom] = ink.extent;
    for (int y = r.y; y < r.y + r.h; ++y)
        for (int x = r.x; x < r.x + r.w; ++x) {
            if (picture.at(x, y) != colour) continue;
            left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = y;
            ++ink.pixels;
        }
    return ink;
}

// The gauge after GaugeInstall, with a renderer prepared on its tree.
class Rendered : public LoadedGauge {
protected:
    void SetUp() override {
        LoadedGauge::SetUp();
        host.install();
        std::string error;
        ASSERT_TRUE(renderer.prepare(error)) << error;
    }

    Rect box_of(Addr e) const {
        const auto* b = renderer.text_box(e);
        return b ? Rect{b->x, b->y, b->width, b->height} : Rect{0, 0, 0, 0};
    }
    // The three text boxes, in gauge pixels.
    std::vector<Rect> text_boxes() { return {box_of(distance_box()), box_of(ident_box()), box_of(number_box())}; }
    const Image& face_bitmap() { return *renderer.bitmap(host.elements().elements.at(0).bitmap_id()); }

    q7host::Renderer renderer{host};
};

// The 5 x 5 dot is a diamond 1, 3, 5, 3, 1 pixels wide round its centre.
bool in_diamond(int dx, int dy) { return std::abs(dx) + std::abs(dy) <= 2; }

struct HeadingCase {
    double heading;
    int centre_x, centre_y;  // the dot's centre pixel
};

void PrintTo(const HeadingCase& c, std::ostream* os) { *os << "heading " << c.heading; }

class DotPlacement : public Rendered, public ::testing::WithParamInterface<HeadingCase> {};

// The aircraft on SFINT with GGATE selected: the waypoint lies 12.87 nm away
// on a bearing of about 338 degrees, so the dot's offsets from its rest at
// (29, 29) are those of a 24.5-pixel radius turned by the heading, none of
// them near half a pixel.
TEST_P(DotPlacement, GreenDiamondIsCentredOnTheCallbackPosition) {
    const HeadingCase c = GetParam();
    place_on(kSfint, c.heading);
    q7host::FrameReadout readout;
    const Image frame = renderer.render(&readout);
    ASSERT_EQ(readout.dots.size(), 1u);
    const auto& d = readout.dots[0];
    EXPECT_EQ(static_cast<int>(std::lround(q7ref::kRestX + d.x)) + 2, c.centre_x);
    EXPECT_EQ(static_cast<int>(std::lround(q7ref::kRestY - d.y)) + 2, c.centre_y);

    // Every diamond pixel is green; every other green pixel of the frame,
    // outside the text boxes' green letters, is one the face itself has (its
    // top mark).
    const std::vector<Rect> boxes = text_boxes();
    long sum_x = 0, sum_y = 0, dot_pixels = 0;
    for (int y = 0; y < frame.height(); ++y) {
        for (int x = 0; x < frame.width(); ++x) {
            const bool diamond = in_diamond(x - c.centre_x, y - c.centre_y);
            const bool green = frame.at(x, y) == kPureGreen;
            const bool lettered = in_any(boxes, x, y);
            if (diamond) {
                EXPECT_TRUE(green) << "dot pixel " << x << "," << y;
                sum_x += x, sum_y += y, ++dot_pixels;
            } else if (green && !lettered) {
                EXPECT_EQ(face_bitmap().at(x, y), kPureGreen) << "stray green at " << x << "," << y;
            }
            EXPECT_NE(frame.at(x, y), kPureBlack) << "black at " << x << "," << y;
        }
    }
    ASSERT_EQ(dot_pixels, 13);
    EXPECT_EQ(sum_x, 13L * c.centre_x);
    EXPECT_EQ(sum_y, 13L * c.centre_y);

    // The twelve corners of the dot's square let the face show through.
    int corners = 0;
    for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
            if (in_diamond(dx, dy)) continue;
            const int x = c.centre_x + dx, y = c.centre_y + dy;
            EXPECT_EQ(frame.at(x, y), face_bitmap().at(x, y)) << "corner " << x << "," << y;
            ++corners;
        }
    }
    EXPECT_EQ(corners, 12);
}

INSTANTIATE_TEST_SUITE_P(Headings, DotPlacement,
                         ::testing::Values(HeadingCase{0, 22, 8}, HeadingCase{90, 8, 40}, HeadingCase{180, 40, 54},
                                           HeadingCase{270, 54, 22}, HeadingCase{330, 34, 7}));

// A callback value that is not a number leaves the dot where it rests, the
// screen's centre, which the text boxes painted after it cover.
TEST_F(Rendered, DotWithoutANumberStaysAtItsRestPosition) {
    q7host::FrameReadout readout;
    place_on(kSfint, 0);
    renderer.render(&readout);
    auto at_rest = readout;
    at_rest.dots[0].screen_x = q7ref::kRestX;
    at_rest.dots[0].screen_y = q7ref::kRestY;
    const Image rest = renderer.draw(at_rest);
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        auto lost = readout;
        lost.dots[0].screen_x = lost.dots[0].screen_y = bad;
        EXPECT_EQ(renderer.draw(lost), rest) << bad;
    }
    EXPECT_NE(renderer.draw(readout), rest);
}

// Text may change pixels inside its box and nowhere else: a frame painted
// with the texts blanked differs from the real one only inside the boxes,
// where the blank frame is plain fill colour and the real one holds ink of
// the text colour.
TEST_F(Rendered, TextInkStaysInsideEachBoxAndIsCentred) {
    place_on(kSfint, 330);
    q7host::FrameReadout readout;
    const Image frame = renderer.render(&readout);
    auto blank_readout = readout;
    for (auto& t : blank_readout.texts) t.text.clear();
    const Image blank = renderer.draw(blank_readout);

    const std::vector<Rect> boxes = text_boxes();
    ASSERT_EQ(boxes[1].w, 35);
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x)
            if (!in_any(boxes, x, y)) {
                EXPECT_EQ(frame.at(x, y), blank.at(x, y)) << x << "," << y;
            }
    for (Addr e : {distance_box(), ident_box(), number_box()}) {
        const auto* b = renderer.text_box(e);
        ASSERT_NE(b, nullptr);
        const Rect r = box_of(e);
        const std::string text = readout.text_for(e)->text;
        SCOPED_TRACE("box at " + std::to_string(r.x) + "," + std::to_string(r.y) + ": \"" + text + "\"");
        // Blank, the box is all fill; lettered, every pixel is fill or ink.
        EXPECT_EQ(ink_of(blank, r, b->fill_color).pixels, r.w * r.h);
        const Ink ink = ink_of(frame, r, b->text_color);
        EXPECT_EQ(ink.pixels + ink_of(frame, r, b->fill_color).pixels, r.w * r.h);
        EXPECT_GE(ink.pixels, 8) << "no visible text";
        const auto [left, right, top, bottom] = ink.extent;
        // One line, centred vertically: ink neither touches both edges nor
        // sits clear of the middle row.
        EXPECT_LE(top, r.y + r.h / 2);
        EXPECT_GE(bottom, r.y + r.h / 2);
        if (text.find(' ') == std::string::npos) {  // the identifier: centred across
            EXPECT_LE(std::abs((left + right) - (2 * r.x + r.w - 1)), 3) << text;
        } else {  // leading spaces push the digits right of the middle
            EXPECT_GT(left, r.x + r.w / 2 - 2) << text;
        }
    }
}

// The default scene lettered as a Windows GDI host letters it: each box gets
// the largest whole ppem whose GDI cell (win ascent plus descent, each rounded)
// fits its height, so the 13-high boxes take 11 ppem (cell 9 + 3 = 12) and the
// 14-high distance box 12 ppem (10 + 4 = 14). The ink extents are those GDI
// paints; the distance box's ink count is the one it had under the earlier
// line-height rule, which already agreed with GDI there.
TEST_F(Rendered, TextIsSizedByTheGdiCellHeight) {
    struct Case {
        const char* label;
        Addr element;
        int cell_height, left, right, top, bottom, ink;  // ink < 0: not checked
    };
    const Case cases[] = {
        {"identifier GGATE", ident_box(), 12, 14, 47, 20, 26, -1},
        {"number 1", number_box(), 12, 48, 53, 64, 70, -1},
        {"distance 12", distance_box(), 14, 31, 43, 33, 40, 46},
    };
    place_on(kSfint, 330);
    const Image frame = renderer.render();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const auto* b = renderer.text_box(c.element);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->font.cell_height(), c.cell_height);
        const Ink ink = ink_of(frame, {b->x, b->y, b->width, b->height}, b->text_color);
        EXPECT_EQ(ink.extent, (std::array<int, 4>{c.left, c.right, c.top, c.bottom}));
        if (c.ink >= 0) {
            EXPECT_EQ(ink.pixels, c.ink);
        }
    }
}

TEST_F(Rendered, OverlongTextIsClippedToItsBox) {
    q7host::FrameReadout readout;
    const Image plain = renderer.render(&readout);
    for (auto& t : readout.texts) t.text = "WWWWWWWWWWWWWWWWWWWW";
    const Image crowded = renderer.draw(readout);
    const std::vector<Rect> boxes = text_boxes();
    int changed_inside = 0;
    for (int y = 0; y < plain.height(); ++y) {
        for (int x = 0; x < plain.width(); ++x) {
            if (!in_any(boxes, x, y)) {
                EXPECT_EQ(plain.at(x, y), crowded.at(x, y)) << x << "," << y;
            } else {
                changed_inside += !(plain.at(x, y) == crowded.at(x, y));
            }
        }
    }
    EXPECT_GT(changed_inside, 0);
}

TEST_F(Rendered, TextBoxesGetAMonospacedBoldFaceSizedToTheirCharacters) {
    for (Addr e : {distance_box(), ident_box(), number_box()}) {
        const auto* b = renderer.text_box(e);
        ASSERT_NE(b, nullptr);
        const auto& f = b->font;
        EXPECT_TRUE(std::filesystem::exists(f.file)) << f.file;
        EXPECT_TRUE(f.bold) << "\"Courier New Bold\" names the bold style";
        EXPECT_LE(f.advance * b->max_chars, b->width);
        EXPECT_LE(f.cell_height(), b->height);
        EXPECT_GE(f.pixel_size, 8) << "the box has room for a legible size";
        auto& painter = renderer.painter();
        EXPECT_EQ(painter.text_width(f, "iiiii"), painter.text_width(f, "WWWWW")) << f.family;
        EXPECT_EQ(painter.text_width(f, std::string(b->max_chars, 'M')), f.advance * b->max_chars);
    }
    // The widest box fitted with 5 characters is not given a smaller font
    // than the narrower box of the same height fitted with 5.
    EXPECT_GE(renderer.text_box(distance_box())->font.pixel_size, renderer.text_box(ident_box())->font.pixel_size);
}

TEST(TextPainter, FaceFollowsNameWeightAndFallsBackToMonospace) {
    q7host::TextPainter painter;
    std::string error;
    const auto regular = painter.choose({"Courier New", 400, 1}, 35, 13, 5, error);
    const auto heavy = painter.choose({"Courier New", 700, 1}, 35, 13, 5, error);
    const auto named_bold = painter.choose({"Courier New Bold", 400, 1}, 35, 13, 5, error);
    const auto missing = painter.choose({"No Such Face At All", 400, 1}, 35, 13, 5, error);
    ASSERT_TRUE(regular && heavy && named_bold && missing) << error;
    EXPECT_FALSE(regular->bold);
    EXPECT_TRUE(heavy->bold);
    EXPECT_TRUE(named_bold->bold);
    EXPECT_EQ(named_bold->family, heavy->family);
    EXPECT_TRUE(missing->substituted);
    EXPECT_EQ(painter.text_width(*missing, "i.i.i"), painter.text_width(*missing, "WMWMW"));
    // More room, larger letters; less room, smaller.
    const auto roomy = painter.choose({"Courier New", 400, 1}, 70, 26, 5, error);
    const auto tight = painter.choose({"Courier New", 400, 1}, 20, 13, 5, error);
    ASSERT_TRUE(roomy && tight);
    EXPECT_GT(roomy->pixel_size, regular->pixel_size);
    EXPECT_LT(tight->pixel_size, regular->pixel_size);
    EXPECT_LE(tight->advance * 5, 20);
}

TEST(TextPainter, DrawTextFlagsPlaceTheLine) {
    q7host::TextPainter painter;
    std::string error;
    const auto font = painter.choose({"Courier New", 400, 1}, 60, 20, 10, error);
    ASSERT_TRUE(font) << error;
    auto ink_span = [&](std::uint32_t flags, const std::string& text) {
        Image img(60, 20);
        painter.draw(img, *font, 0, 0, 60, 20, text, flags, {255, 255, 255});
        return ink_of(img, {0, 0, 60, 20}, {255, 255, 255}).extent;
    };
    using namespace q7host::draw_text;
    const auto l = ink_span(kSingleLine, "HH");
    const auto c = ink_span(kSingleLine | kCenter, "HH");
    const auto r = ink_span(kSingleLine | kRight, "HH");
    const auto v = ink_span(kSingleLine | kVCenter, "HH");
    const auto b = ink_span(kSingleLine | kBottom, "HH");
    EXPECT_LT(l[0], 3);
    EXPECT_GT(r[1], 56);
    EXPECT_LE(std::abs((c[0] + c[1]) - 59), 2);
    EXPECT_LT(l[2], v[2]);
    EXPECT_LT(v[2], b[2]);
    // "&&" shows one ampersand; a single "&" underlines the next letter.
    EXPECT_EQ(ink_span(kSingleLine, "A&&B"), ink_span(kSingleLine | kNoPrefix, "A&B"));
    EXPECT_GT(ink_span(kSingleLine, "&AB")[3], ink_span(kSingleLine, "AB")[3]);
}

// A picture a panel host cannot find (FindResource's lookup fails) or cannot
// decode leaves its element undrawn and is a warning; the gauge installs,
// draws and runs on. Without its face the gauge is as big as what is drawn
// on it, never bigger than the face would have made it.
TEST(Pictures, OneThatCannotBeLoadedIsLeftUndrawnWithAWarning) {
    using K = q7host::WarningKind;
    const struct {
        const char* mutant;
        std::vector<std::pair<K, std::string>> warnings;
        bool has_face;
    } cases[] = {
        {"record-dot-bitmap-missing", {{K::PictureMissing, "0x9999"}}, true},
        {"resources-face-data-outside", {{K::PictureMissing, "0x1000"}}, false},
        {"resources-face-size-0", {{K::PictureUndecodable, "0x1000"}}, false},
        {"directory-resources-size-8",  // less than a directory's header: no resources at all
         {{K::PictureMissing, "0x1000"}, {K::PictureMissing, "0x2000"}, {K::PictureMissing, "0x3000"}},
         false},
        {"windows-resources-bitmap-type-claims-more",  // the binary search over the type's ids misses them
         {{K::PictureMissing, "0x1000"}, {K::PictureMissing, "0x2000"}, {K::PictureMissing, "0x3000"}},
         false},
    };
    for (const auto& c : cases) {
        q7host::GaugeHost host;
        ASSERT_TRUE(host.load(q7test::ModuleFile::get().mutant(c.mutant), c.mutant)) << host.error();
        host.install();
        q7host::Renderer renderer(host);
        std::string error;
        ASSERT_TRUE(renderer.prepare(error)) << c.mutant << ": " << error;
        const Image frame = renderer.render();
        EXPECT_TRUE(host.problems().empty()) << c.mutant << ": " << host.problems().front();
        std::vector<std::pair<K, std::string>> seen;
        for (const auto& w : host.warnings()) seen.push_back({w.kind, w.subject});
        EXPECT_EQ(seen, c.warnings) << c.mutant;
        for (const auto& [kind, id] : c.warnings) EXPECT_EQ(renderer.bitmap(std::stoul(id, nullptr, 16)), nullptr);
        if (c.has_face) {
            EXPECT_EQ(frame.width(), 63) << c.mutant;
            EXPECT_EQ(frame.height(), 77) << c.mutant;
        } else {
            EXPECT_TRUE(!frame.empty() && frame.width() <= 63 && frame.height() <= 77)
                << c.mutant << ": " << frame.width() << " x " << frame.height();
        }
    }
}

TEST(Png, RoundTripsAndNeverLeavesAPartialFile) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("q7png-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    Image img(7, 3, {1, 2, 3});
    img.set(6, 2, {250, 128, 0});
    const Image big = img.scaled(3);
    EXPECT_EQ(big.width(), 21);
    EXPECT_EQ(big.at(20, 8), (Rgb{250, 128, 0}));
    EXPECT_EQ(big.at(17, 8), (Rgb{1, 2, 3}));

    std::string error;
    const std::string path = (dir / "a.png").string();
    ASSERT_TRUE(q7host::write_png(path, big, error)) << error;
    const auto back = q7host::read_png(path, error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(*back, big);
    EXPECT_FALSE(q7host::write_png((dir / "missing" / "b.png").string(), big, error));
    EXPECT_NE(error.find("missing/b.png"), std::string::npos) << error;
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(dir)) left.insert(e.path().filename().string());
    EXPECT_EQ(left, std::set<std::string>{"a.png"});
    fs::remove_all(dir);
}

}  // namespace
