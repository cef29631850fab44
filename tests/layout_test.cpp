// Every record the host reads, compared byte by byte with the interface:
// Linkage, the gauge header, the six element records and their lists, and the
// mouse-rectangle list, each found only by following the module's own pointers.
#include "support/test_support.h"

#include <map>
#include <set>

using namespace q7test;

namespace {

class Layout : public LoadedGauge {
protected:
    // The face's children, by their place in its child list.
    Addr child(int index) const {
        const Addr list = host.machine().read(face() + 40);
        return host.machine().read(list + 4 * index);
    }
    Addr dot() const { return child(0); }
    Addr distance_box() const { return child(1); }
    Addr ident_box() const { return child(2); }
    Addr number_box() const { return child(3); }
    Addr buttons() const { return child(4); }

    // Whether an address lies in one of the module's executable sections.
    bool is_code(Addr a) const {
        if (a < host.base()) return false;
        const auto* s = host.image().section_at(a - host.base());
        return s && s->executable();
    }

    // Compares a record with its expected 32-bit words; every word not named
    // must be zero. Words at `code` offsets must point at module code; they are
    // returned for the caller to check further.
    std::map<unsigned, Addr> expect_record(const char* what, Addr record, unsigned size,
                                           const std::map<unsigned, std::uint32_t>& words,
                                           const std::set<unsigned>& code = {}) {
        EXPECT_TRUE(host.machine().writable_data(record, size)) << what << " is not in writable data";
        std::map<unsigned, Addr> routines;
        for (unsigned off = 0; off < size; off += 4) {
            const std::uint32_t v = host.machine().read(record + off);
            if (code.count(off)) {
                EXPECT_TRUE(is_code(v)) << what << " +" << off << " = " << v;
                routines[off] = v;
            } else if (auto it = words.find(off); it != words.end()) {
                EXPECT_EQ(v, it->second) << what << " +" << off;
            } else {
                EXPECT_EQ(v, 0u) << what << " +" << off;
            }
        }
        return routines;
    }

    std::map<unsigned, std::uint32_t> text_box(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h,
                                               std::uint32_t flags, std::uint32_t text, std::uint32_t fill,
                                               std::uint32_t max_chars) {
        std::map<unsigned, std::uint32_t> m{
            {0, 2},   {4, 0xFFFFFFFF}, {8, x},          {12, y},     {32, header()},    {48, flags},
            {192, w}, {196, h},        {208, text},     {212, fill}, {216, 0x005C5C5C}, {280, 400},
            {284, 1}, {288, 37},       {292, max_chars}};
        // "Courier New Bold", NUL, then zero bytes to 32.
        const char name[] = "Courier New Bold";
        for (unsigned i = 0; i < 16; i += 4) {
            std::uint32_t word;
            std::memcpy(&word, name + i, 4);
            m[248 + i] = word;
        }
        return m;
    }
};

}  // namespace

TEST_F(Layout, LinkageListsOneGaugeHeaderAndTwoHooks) {
    const Addr l = host.linkage();
    const auto hooks = expect_record("Linkage", l, 32, {{0, 0x13}, {24, header()}}, {4, 8});
    EXPECT_NE(hooks.at(4), hooks.at(8));
    EXPECT_NE(header(), 0u);
}

TEST_F(Layout, GaugeHeaderNamesTheTreeAndSevenRoutines) {
    const Addr list = host.machine().read(header() + 8);
    // The name is data, not code: it is checked where the header points.
    const Addr name = host.machine().read(header() + 4);
    expect_record("GaugeHeader", header(), 88, {{0, 610}, {4, name}, {8, list}, {44, 100}},
                  {12, 16, 20, 24, 28, 32, 36});
    EXPECT_EQ(host.machine().read_cstring(name), "quorlan7");
    EXPECT_EQ(host.machine().read<char>(name + 8), '\0');
    EXPECT_FALSE(is_code(name));
    std::set<Addr> distinct;
    for (unsigned off : {12u, 16u, 20u, 24u, 28u, 32u, 36u}) distinct.insert(host.machine().read(header() + off));
    EXPECT_EQ(distinct.size(), 7u);
    // gauge_elements: the root, then the terminator.
    EXPECT_EQ(host.machine().read(list), face());
    EXPECT_EQ(host.machine().read(list + 4), 0u);
    EXPECT_TRUE(host.machine().writable_data(list, 8));
}

TEST_F(Layout, FaceAndButtonStripAreStaticImages) {
    const Addr children = host.machine().read(face() + 40);
    expect_record("face_image", face(), 80, {{0, 0}, {4, 0x1000}, {32, header()}, {40, children}, {48, 4}});
    expect_record("button_strip", buttons(), 80, {{0, 0}, {4, 0x3000}, {12, 60}, {32, header()}});

    // face_children: five children in order, then the terminator.
    EXPECT_TRUE(host.machine().writable_data(children, 24));
    std::vector<std::uint32_t> kinds;
    for (int i = 0; i < 5; ++i) kinds.push_back(host.machine().read(child(i)));
    EXPECT_EQ(kinds, (std::vector<std::uint32_t>{3, 2, 2, 2, 0}));
    EXPECT_EQ(host.machine().read(children + 20), 0u);
    EXPECT_EQ(host.machine().read(buttons() + 4), 0x3000u);
}

TEST_F(Layout, BearingDotIsAMovingImageWithScalesAsDoubles) {
    const auto cb = expect_record("bearing_dot", dot(), 168,
                                  {{0, 3},
                                   {4, 0x2000},
                                   {8, 29},
                                   {12, 29},
                                   {32, header()},
                                   {48, 7},
                                   // x_scale +1.0 at 92, y_scale -1.0 at 136, with no padding
                                   {92, 0x00000000},
                                   {96, 0x3FF00000},
                                   {136, 0},
                                   {140, 0xBFF00000}},
                                  {88, 132});
    EXPECT_NE(cb.at(88), cb.at(132));
    EXPECT_EQ(bits_of(host.machine().read<double>(dot() + 92)), 0x3FF0000000000000ull);
    EXPECT_EQ(bits_of(host.machine().read<double>(dot() + 136)), 0xBFF0000000000000ull);
}

TEST_F(Layout, TextBoxesCarryTheirFontColoursAndSources) {
    auto distance = text_box(14, 31, 35, 14, 6, 0x0000FF00, 0x00145414, 5);
    distance[60] = 0x47;
    distance[88] = 0x48;
    expect_record("distance_box", distance_box(), 312, distance, {180});
    // ident_box: the first source slot is id 0; its value is the selection index, 0.0.
    expect_record("ident_box", ident_box(), 312, text_box(14, 18, 35, 13, 6, 0x0000FF00, 0x00005000, 5), {180});
    expect_record("number_box", number_box(), 312, text_box(37, 62, 23, 13, 2, 0x00C3C3C3, 0x00303030, 2), {180});

    std::set<Addr> callbacks{host.machine().read(distance_box() + 180), host.machine().read(ident_box() + 180),
                             host.machine().read(number_box() + 180)};
    EXPECT_EQ(callbacks.size(), 3u);
    // The face name: 16 characters, then 16 zero bytes.
    const auto name = host.machine().read_bytes(ident_box() + 248, 32);
    EXPECT_EQ(std::string(name.begin(), name.begin() + 16), "Courier New Bold");
    for (int i = 16; i < 32; ++i) EXPECT_EQ(name[i], 0) << i;
}

TEST_F(Layout, MouseRectangleListDescribesTheTwoButtons) {
    const Addr list = mouse_list();  // as handed to the host at install
    ASSERT_NE(list, 0u);
    const std::uint32_t none = 0xFFFFFFFF;
    struct {
        std::uint32_t kind, x, y, w, h, cursor, mask;
        bool handler;
    } expected[] = {
        {1, 0, 0, 0, 0, none, 0, false},        {1, 3, 62, 31, 13, none, 0, false},
        {2, 0, 0, 14, 13, 5, 0x20000000, true}, {2, 17, 0, 14, 13, 5, 0x20000000, true},
        {3, 0, 0, 0, 0, none, 0, false},        {3, 0, 0, 0, 0, none, 0, false},
        {0, 0, 0, 0, 0, none, 0, false},
    };
    std::vector<Addr> handlers;
    for (unsigned i = 0; i < 7; ++i) {
        const auto& e = expected[i];
        const auto h =
            expect_record("mouse_rect_list entry", list + 44 * i, 44,
                          {{0, e.kind}, {4, e.x}, {8, e.y}, {12, e.w}, {16, e.h}, {20, e.cursor}, {28, e.mask}},
                          e.handler ? std::set<unsigned>{36} : std::set<unsigned>{});
        if (e.handler) handlers.push_back(h.at(36));
    }
    ASSERT_EQ(handlers.size(), 2u);
    EXPECT_NE(handlers[0], handlers[1]);
    EXPECT_TRUE(host.machine().writable_data(list, 308));
}

TEST_F(Layout, WritingTheSelectionIndexChangesNoOtherByte) {
    const auto before = host.machine().read_bytes(ident_box(), 312);
    click_next();
    const auto after = host.machine().read_bytes(ident_box(), 312);
    for (unsigned i = 0; i < 312; ++i) {
        if (i >= 72 && i < 80) continue;
        if (i >= 184 && i < 188) continue;  // text_buffer, which install filled
        EXPECT_EQ(before[i], after[i]) << "byte " << i;
    }
    EXPECT_EQ(selection(), 1.0);
}
