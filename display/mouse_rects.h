// The click areas over the two step buttons and their handlers.
#pragma once

#include "module/host_services.h"

#include <cstddef>
#include <cstdint>

enum MouseRectKind : std::uint32_t {
    RECT_END_OF_LIST = 0,
    RECT_PARENT = 1,
    RECT_CHILD = 2,
    RECT_END_OF_PARENT = 3,
};

// Click handler: two host arguments in (not used), always 0 out.
using MouseHandler = std::int32_t(Q7_STDCALL*)(std::uint32_t, std::uint32_t);

inline constexpr std::int32_t kCursorHand = 5;
inline constexpr std::int32_t kCursorNone = -1;
inline constexpr std::uint32_t kMouseLeftSingle = 0x20000000;

#pragma pack(push, 4)

struct PixelBox {
    std::int32_t x;
    std::int32_t y;
    std::int32_t width;
    std::int32_t height;
};
static_assert(sizeof(PixelBox) == 16);

// One entry of the click-area list. x and y of `box` are relative to the box of
// the innermost enclosing parent.
struct MouseRect {
    MouseRectKind rect_kind;
    PixelBox box;
    std::int32_t cursor;
    std::uint32_t host_reserved_a;
    std::uint32_t event_mask;
    std::uint32_t host_reserved_b;
    MouseHandler handler;
    std::uint32_t host_reserved_c;
};
static_assert(sizeof(MouseRect) == 44);
static_assert(offsetof(MouseRect, rect_kind) == 0);
static_assert(offsetof(MouseRect, box) == 4);
static_assert(offsetof(MouseRect, cursor) == 20);
static_assert(offsetof(MouseRect, host_reserved_a) == 24);
static_assert(offsetof(MouseRect, event_mask) == 28);
static_assert(offsetof(MouseRect, host_reserved_b) == 32);
static_assert(offsetof(MouseRect, handler) == 36);
static_assert(offsetof(MouseRect, host_reserved_c) == 40);

#pragma pack(pop)

extern MouseRect mouse_rect_list[7];
static_assert(sizeof(mouse_rect_list) == 308);

std::int32_t Q7_STDCALL step_previous_handler(std::uint32_t, std::uint32_t);
std::int32_t Q7_STDCALL step_next_handler(std::uint32_t, std::uint32_t);
