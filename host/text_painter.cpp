#include "host/text_painter.h"

#include "panel/canvas.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

namespace q7host {

namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The 8-bit text a gauge writes is in the Windows code page of the box's
// character set; for the Western sets that is 1252, whose 0x80..0x9F differ
// from Latin-1.
constexpr char32_t kCp1252High[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                      0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

char32_t to_unicode(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c; }

// Languages fontconfig should cover for a GDI character set; the default and
// Western sets ask for nothing beyond what every face has.
const char* language_of(std::uint32_t char_set) {
    switch (char_set) {
        case 128: return "ja";
        case 129:
        case 130: return "ko";
        case 134: return "zh-cn";
        case 136: return "zh-tw";
        case 161: return "el";
        case 162: return "tr";
        case 163: return "vi";
        case 177: return "he";
        case 178: return "ar";
        case 186: return "lt";
        case 204: return "ru";
        case 222: return "th";
        case 238: return "pl";
        default: return nullptr;
    }
}

struct Match {
    std::string file;
    int index = 0;
    std::vector<std::string> families;
    int weight = FC_WEIGHT_REGULAR;
    int spacing = FC_PROPORTIONAL;
    bool has(const std::string& family) const {
        return std::any_of(families.begin(), families.end(),
                           [&](const std::string& f) { return lower(f) == lower(family); });
    }
    bool monospaced() const { return spacing == FC_MONO || spacing == FC_CHARCELL; }
};

std::optional<Match> match(const std::string& family, bool bold, bool italic, const char* lang, bool monospace) {
    FcPattern* p = FcPatternCreate();
    FcPatternAddString(p, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcPatternAddInteger(p, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(p, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(p, FC_SCALABLE, FcTrue);
    if (monospace) FcPatternAddInteger(p, FC_SPACING, FC_MONO);
    if (lang) FcPatternAddString(p, FC_LANG, reinterpret_cast<const FcChar8*>(lang));
    FcConfigSubstitute(nullptr, p, FcMatchPattern);
    FcDefaultSubstitute(p);
    FcResult result = FcResultNoMatch;
    FcPattern* m = FcFontMatch(nullptr, p, &result);
    FcPatternDestroy(p);
    if (!m) return std::nullopt;
    Match out;
    FcChar8* s = nullptr;
    if (FcPatternGetString(m, FC_FILE, 0, &s) == FcResultMatch) out.file = reinterpret_cast<char*>(s);
    FcPatternGetInteger(m, FC_INDEX, 0, &out.index);
    for (int i = 0; FcPatternGetString(m, FC_FAMILY, i, &s) == FcResultMatch; ++i) {
        out.families.emplace_back(reinterpret_cast<char*>(s));
    }
    FcPatternGetInteger(m, FC_WEIGHT, 0, &out.weight);
    FcPatternGetInteger(m, FC_SPACING, 0, &out.spacing);
    FcPatternDestroy(m);
    if (out.file.empty()) return std::nullopt;
    return out;
}

// A box's text after DrawText's prefix handling: "&x" shows x underlined,
// "&&" shows one ampersand.
struct Line {
    std::u32string chars;
    int underline = -1;
};

Line prepare_line(const std::string& text, bool prefix) {
    Line line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (prefix && c == '&') {
            if (i + 1 >= text.size()) break;
            c = static_cast<unsigned char>(text[++i]);
            if (c != '&') line.underline = static_cast<int>(line.chars.size());
        }
        line.chars.push_back(to_unicode(c));
    }
    return line;
}

}  // namespace

struct TextPainter::Impl {
    FT_Library library = nullptr;
    std::map<std::pair<std::string, int>, FT_Face> faces;

    ~Impl() {
        for (auto& [key, face] : faces) FT_Done_Face(face);
        if (library) FT_Done_FreeType(library);
    }

    FT_Face face(const FontChoice& font) {
        auto key = std::make_pair(font.file, font.face_index);
        auto it = faces.find(key);
        FT_Face f = nullptr;
        if (it != faces.end()) {
            f = it->second;
        } else {
            if (FT_New_Face(library, font.file.c_str(), font.face_index, &f) != 0) return nullptr;
            faces[key] = f;
        }
        if (font.pixel_size > 0) FT_Set_Pixel_Sizes(f, 0, static_cast<FT_UInt>(font.pixel_size));
        return f;
    }

    // Loads and renders one glyph as a one-bit bitmap in the face's slot.
    bool load(FT_Face f, const FontChoice& font, char32_t c, bool render) {
        const FT_UInt glyph = FT_Get_Char_Index(f, c);
        if (FT_Load_Glyph(f, glyph, FT_LOAD_DEFAULT | FT_LOAD_TARGET_MONO) != 0) return false;
        if (font.synthetic_bold) FT_GlyphSlot_Embolden(f->glyph);
        if (render && f->glyph->format != FT_GLYPH_FORMAT_BITMAP) {
            return FT_Render_Glyph(f->glyph, FT_RENDER_MODE_MONO) == 0;
        }
        return true;
    }

    int advance(FT_Face f, const FontChoice& font, char32_t c) {
        if (!load(f, font, c, false)) return 0;
        return static_cast<int>((f->glyph->advance.x + 32) >> 6);
    }

    // The ascent and descent a Windows host reports in TEXTMETRIC come from
    // the OS/2 table's usWinAscent and usWinDescent, in font units. Without
    // an OS/2 table (or with both values zero) the horizontal header's
    // ascender and descender stand in; a face with no scalable metrics (a
    // bitmap strike) has none, and gets {0, 0}.
    static std::pair<long, long> win_extent(FT_Face f) {
        const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(f, FT_SFNT_OS2));
        if (os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
            return {os2->usWinAscent, os2->usWinDescent};
        }
        if (FT_IS_SCALABLE(f) && f->ascender - f->descender > 0) {
            return {f->ascender, -f->descender};
        }
        return {0, 0};
    }

    // tmAscent and tmDescent at `ppem` pixels per em: the extents above
    // scaled to the size, each rounded to the nearest pixel; their sum is
    // tmHeight, the height of a line. A face without scalable extents gives
    // the size's own rounded ascender and descender. The face must already be
    // set to `ppem`.
    static void gdi_metrics(FT_Face f, int ppem, FontChoice& font) {
        const auto [up, down] = win_extent(f);
        const long em = f->units_per_EM;
        if (em > 0 && up + down > 0) {
            auto scaled = [&](long units) { return static_cast<int>((units * ppem + em / 2) / em); };
            font.ascent = scaled(up);
            font.descent = scaled(down);
        } else {
            const FT_Size_Metrics& m = f->size->metrics;
            font.ascent = static_cast<int>((m.ascender + 32) >> 6);
            font.descent = static_cast<int>((-m.descender + 32) >> 6);
        }
    }
};

TextPainter::TextPainter() : impl_(std::make_unique<Impl>()) {
    FT_Init_FreeType(&impl_->library);
    FcInit();
}

TextPainter::~TextPainter() = default;

std::optional<FontChoice> TextPainter::choose(const FontRequest& request, int box_width, int box_height, int max_chars,
                                              std::string& error) {
    if (!impl_->library) {
        error = "FreeType did not start";
        return std::nullopt;
    }
    // A Windows full face name such as "Courier New Bold" names the family and
    // then the style; a weight of 600 or more asks for bold as well.
    std::vector<std::string> words;
    {
        std::istringstream in(request.face_name);
        for (std::string w; in >> w;) words.push_back(w);
    }
    bool bold = request.weight >= 600, italic = false;
    while (!words.empty()) {
        const std::string w = lower(words.back());
        if (w == "bold")
            bold = true;
        else if (w == "italic" || w == "oblique")
            italic = true;
        else if (w != "regular" && w != "normal")
            break;
        words.pop_back();
    }
    std::string family;
    for (const auto& w : words) family += (family.empty() ? "" : " ") + w;
    const char* lang = language_of(request.char_set);

    std::optional<Match> found;
    bool substituted = false;
    // The complete name may itself be a family; then the style words are part
    // of it and the weight alone decides.
    if (auto m = match(request.face_name, request.weight >= 600, false, lang, false);
        m && !request.face_name.empty() && m->has(request.face_name)) {
        found = m;
        bold = request.weight >= 600;
        italic = false;
    } else if (auto m2 = match(family.empty() ? "monospace" : family, bold, italic, lang, false);
               m2 && !family.empty() && m2->has(family)) {
        found = m2;
    } else if (m2 && m2->monospaced()) {
        found = m2;  // fontconfig's stand-in for the missing face, e.g. a metric alias
        substituted = true;
    } else {
        found = match("monospace", bold, italic, lang, true);
        substituted = true;
    }
    if (!found) {
        error = "no font installed for \"" + request.face_name + "\"";
        return std::nullopt;
    }

    FontChoice font;
    font.file = found->file;
    font.face_index = found->index;
    font.family = found->families.empty() ? "" : found->families.front();
    font.bold = bold;
    font.synthetic_bold = bold && found->weight < FC_WEIGHT_DEMIBOLD;
    font.substituted = substituted;
    FT_Face f = impl_->face(font);
    if (!f) {
        error = "cannot open the font file " + font.file;
        return std::nullopt;
    }
    // The size is chosen as a Windows host gets it from CreateFont. A positive
    // height there asks for a cell height, which GDI turns into
    // ppem = height * unitsPerEm / (usWinAscent + usWinDescent) rounded to a
    // whole ppem; a negative height asks for that character height (ppem)
    // directly. Either way the face is drawn at a whole ppem, so the sizes are
    // stepped as character heights (-ppem, largest first): that visits every
    // size a host can get and skips none, whatever the face's cell-to-em
    // ratio. A line fits the box when the font's tmHeight (its GDI ascent plus
    // descent, see gdi_metrics) is no taller than the box, the height
    // DrawText lays a single line out by. FreeType's rounded ascender and
    // descender are not used: they round each part up and so make some sizes
    // a pixel taller than GDI's cell (Liberation Mono Bold, Courier New's
    // stand-in, at 11 ppem: 10 + 4 = 14 where GDI has 9 + 3 = 12). The search
    // starts at a ppem whose unrounded cell exceeds the box by more than a
    // pixel, so no size that might still fit after rounding is left out.
    const int chars = std::clamp(max_chars, 1, kMostColumns);
    const int height = std::clamp(box_height, 1, kLargestText);
    int largest = height;
    if (const auto [up, down] = Impl::win_extent(f); up + down > 0 && f->units_per_EM > 0) {
        largest = std::max<long>(height, (height + 1L) * f->units_per_EM / (up + down) + 1);
    }
    largest = std::min(largest, kLargestText);
    for (int size = largest; size >= 1; --size) {
        font.pixel_size = size;
        impl_->face(font);
        Impl::gdi_metrics(f, size, font);
        font.advance = 0;
        for (char32_t c = 0x20; c < 0x7F; ++c) {
            font.advance = std::max(font.advance, impl_->advance(f, font, c));
        }
        if (std::int64_t{font.advance} * chars <= box_width && font.cell_height() <= box_height) return font;
    }
    return font;  // the box is too small for any size; the smallest is used
}

int TextPainter::text_width(const FontChoice& font, const std::string& text) {
    FT_Face f = impl_->face(font);
    if (!f) return 0;
    int width = 0;
    for (char32_t c : prepare_line(text, false).chars) width += impl_->advance(f, font, c);
    return width;
}

void TextPainter::draw(Image& image, const FontChoice& font, int x, int y, int w, int h, const std::string& text,
                       std::uint32_t format, Rgb color) {
    FT_Face f = impl_->face(font);
    if (!f) return;
    const bool clip = !(format & draw_text::kNoClip);
    const bool single = format & draw_text::kSingleLine;
    const bool prefix = !(format & draw_text::kNoPrefix);

    std::vector<Line> lines;
    if (single) {
        std::string flat = text;
        std::replace(flat.begin(), flat.end(), '\n', ' ');
        std::replace(flat.begin(), flat.end(), '\r', ' ');
        lines.push_back(prepare_line(flat, prefix));
    } else {
        std::string part;
        std::istringstream in(text);
        while (std::getline(in, part)) {
            if (!part.empty() && part.back() == '\r') part.pop_back();
            lines.push_back(prepare_line(part, prefix));
        }
    }

    const int right = x + w, bottom = y + h;
    int top = y;
    // Vertical placement applies to a single line only, as in DrawText.
    if (single && (format & draw_text::kVCenter))
        top = (y + bottom - font.cell_height()) / 2;
    else if (single && (format & draw_text::kBottom))
        top = bottom - font.cell_height();

    auto plot = [&](int px, int py) {
        if (clip && (px < x || px >= right || py < y || py >= bottom)) return;
        image.set(px, py, color);
    };

    for (const Line& line : lines) {
        int extent = 0;
        for (char32_t c : line.chars) extent += impl_->advance(f, font, c);
        int pen = x;
        if (format & draw_text::kCenter)
            pen = (x + right - extent) / 2;
        else if (format & draw_text::kRight)
            pen = right - extent;
        const int baseline = top + font.ascent;
        for (std::size_t i = 0; i < line.chars.size(); ++i) {
            if (!impl_->load(f, font, line.chars[i], true)) continue;
            const FT_GlyphSlot g = f->glyph;
            const FT_Bitmap& b = g->bitmap;
            for (unsigned row = 0; row < b.rows; ++row) {
                const unsigned char* bits = b.buffer + static_cast<std::ptrdiff_t>(row) * b.pitch;
                for (unsigned col = 0; col < b.width; ++col) {
                    const bool on =
                        b.pixel_mode == FT_PIXEL_MODE_MONO ? (bits[col / 8] >> (7 - col % 8)) & 1 : bits[col] >= 128;
                    if (on)
                        plot(pen + g->bitmap_left + static_cast<int>(col),
                             baseline - g->bitmap_top + static_cast<int>(row));
                }
            }
            const int adv = static_cast<int>((g->advance.x + 32) >> 6);
            if (static_cast<int>(i) == line.underline) {
                for (int u = 0; u < adv; ++u) plot(pen + u, baseline + 1);
            }
            pen += adv;
        }
        top += font.cell_height();
    }
}

}  // namespace q7host
