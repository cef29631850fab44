// The element records that the host reads and partly fills: the gauge's face,
// its moving bearing dot, three text boxes and the picture of the step buttons.
#pragma once

#include "module/host_services.h"

#include <cstddef>
#include <cstdint>

struct GaugeHeader;
struct ElementHeader;

enum ElementKind : std::uint32_t {
    KIND_STATIC_IMAGE = 0,
    KIND_STRING = 2,
    KIND_MOVING_IMAGE = 3,
};

inline constexpr std::uint32_t kNoBitmap = 0xFFFFFFFF;

// A null-terminated array of element pointers, N entries and the terminator.
template <std::size_t N>
using ElementList = ElementHeader* [N + 1];

#pragma pack(push, 4)

struct PixelPoint {
    std::int32_t x;
    std::int32_t y;
};
static_assert(sizeof(PixelPoint) == 8);

// First member of every element record.
struct ElementHeader {
    ElementKind kind;
    std::uint32_t bitmap_id;
    std::int32_t position_x;
    std::int32_t position_y;
    PixelPoint aux_point_a;
    PixelPoint aux_point_b;
    GaugeHeader* owner_gauge;
    ElementHeader* back_link;
    ElementHeader** child_list;
    std::uint32_t reserved_1;
    std::uint32_t draw_flags;
    std::uint32_t reserved_2;
    std::uint32_t reserved_3;
};
static_assert(sizeof(ElementHeader) == 60);
static_assert(offsetof(ElementHeader, kind) == 0);
static_assert(offsetof(ElementHeader, bitmap_id) == 4);
static_assert(offsetof(ElementHeader, position_x) == 8);
static_assert(offsetof(ElementHeader, position_y) == 12);
static_assert(offsetof(ElementHeader, aux_point_a) == 16);
static_assert(offsetof(ElementHeader, aux_point_b) == 24);
static_assert(offsetof(ElementHeader, owner_gauge) == 32);
static_assert(offsetof(ElementHeader, back_link) == 36);
static_assert(offsetof(ElementHeader, child_list) == 40);
static_assert(offsetof(ElementHeader, reserved_1) == 44);
static_assert(offsetof(ElementHeader, draw_flags) == 48);
static_assert(offsetof(ElementHeader, reserved_2) == 52);
static_assert(offsetof(ElementHeader, reserved_3) == 56);

struct StaticImageElement {
    ElementHeader header;
    void* host_image;  // set by the host while it installs the element tree
    std::uint32_t reserved[4];
};
static_assert(sizeof(StaticImageElement) == 80);
static_assert(offsetof(StaticImageElement, header) == 0);
static_assert(offsetof(StaticImageElement, host_image) == 60);
static_assert(offsetof(StaticImageElement, reserved) == 64);

// Pointer callback: the host's 32-bit argument in, an offset in pixels out.
using PointerCallback = double(Q7_STDCALL*)(std::uint32_t);

struct MovingImageElement {
    ElementHeader header;
    ModuleVar x_source;
    PointerCallback x_callback;
    double x_scale;
    std::uint32_t reserved_x;
    ModuleVar y_source;
    PointerCallback y_callback;
    double y_scale;
    std::uint32_t reserved_y;
    std::uint32_t reserved_tail[5];
};
static_assert(sizeof(MovingImageElement) == 168);
static_assert(offsetof(MovingImageElement, x_source) == 60);
static_assert(offsetof(MovingImageElement, x_callback) == 88);
static_assert(offsetof(MovingImageElement, x_scale) == 92);
static_assert(offsetof(MovingImageElement, reserved_x) == 100);
static_assert(offsetof(MovingImageElement, y_source) == 104);
static_assert(offsetof(MovingImageElement, y_callback) == 132);
static_assert(offsetof(MovingImageElement, y_scale) == 136);
static_assert(offsetof(MovingImageElement, reserved_y) == 144);
static_assert(offsetof(MovingImageElement, reserved_tail) == 148);

// Text callback: the host's 64-bit argument in (not used), a 64-bit value out.
using TextCallback = double(Q7_STDCALL*)(double);

// DrawText placement: DT_CENTER | DT_VCENTER | DT_SINGLELINE.
inline constexpr std::uint32_t kTextCentredOneLine = 0x25;
inline constexpr std::uint32_t kFontWeightNormal = 400;
inline constexpr std::uint32_t kDefaultCharSet = 1;

struct StringElement {
    ElementHeader header;
    ModuleVar source_vars[3];
    std::uint32_t reserved_a[9];
    TextCallback text_callback;
    char* text_buffer;  // provided by the host before it first calls text_callback
    std::uint32_t reserved_b;
    std::int32_t box_width;
    std::int32_t box_height;
    std::uint32_t reserved_c[2];
    std::uint32_t text_color;  // 0x00BBGGRR
    std::uint32_t fill_color;
    std::uint32_t third_color;
    std::uint32_t reserved_d[7];
    char face_name[32];
    std::uint32_t weight;
    std::uint32_t char_set;
    std::uint32_t format_flags;
    std::uint32_t max_chars;
    std::uint32_t reserved_e[4];
};
static_assert(sizeof(StringElement) == 312);
static_assert(offsetof(StringElement, source_vars) == 60);
static_assert(offsetof(StringElement, source_vars) + sizeof(ModuleVar) == 88);
static_assert(offsetof(StringElement, source_vars) + 2 * sizeof(ModuleVar) == 116);
static_assert(offsetof(StringElement, source_vars[0].value) == 72);
static_assert(offsetof(StringElement, source_vars[1].value) == 100);
static_assert(offsetof(StringElement, source_vars[2].value) == 128);
static_assert(offsetof(StringElement, reserved_a) == 144);
static_assert(offsetof(StringElement, text_callback) == 180);
static_assert(offsetof(StringElement, text_buffer) == 184);
static_assert(offsetof(StringElement, reserved_b) == 188);
static_assert(offsetof(StringElement, box_width) == 192);
static_assert(offsetof(StringElement, box_height) == 196);
static_assert(offsetof(StringElement, reserved_c) == 200);
static_assert(offsetof(StringElement, text_color) == 208);
static_assert(offsetof(StringElement, fill_color) == 212);
static_assert(offsetof(StringElement, third_color) == 216);
static_assert(offsetof(StringElement, reserved_d) == 220);
static_assert(offsetof(StringElement, face_name) == 248);
static_assert(offsetof(StringElement, weight) == 280);
static_assert(offsetof(StringElement, char_set) == 284);
static_assert(offsetof(StringElement, format_flags) == 288);
static_assert(offsetof(StringElement, max_chars) == 292);
static_assert(offsetof(StringElement, reserved_e) == 296);

#pragma pack(pop)

static_assert(sizeof(ElementList<1>) == 8);
static_assert(sizeof(ElementList<5>) == 24);

// The gauge's records. face_image is the root; the others are its children.
extern StaticImageElement face_image;
extern MovingImageElement bearing_dot;
extern StringElement distance_box;
extern StringElement ident_box;
extern StringElement number_box;
extern StaticImageElement button_strip;

extern ElementList<1> gauge_elements;
extern ElementList<5> face_children;

// Bitmap resource numbers of the pictures.
inline constexpr std::uint32_t BITMAP_FACE = 0x1000;
inline constexpr std::uint32_t BITMAP_DOT = 0x2000;
inline constexpr std::uint32_t BITMAP_BUTTONS = 0x3000;

// The text callbacks of the three boxes.
double Q7_STDCALL ident_text_callback(double);
double Q7_STDCALL number_text_callback(double);
double Q7_STDCALL distance_text_callback(double);
