#include "display/mouse_rects.h"

#include "nav/waypoints.h"

// The button pair spans x 3..33, y 62..74 in gauge pixels: the left-arrow box
// x 3..16, the right-arrow box x 20..33, three pixels of gap between them.
constinit MouseRect mouse_rect_list[7] = {
    {.rect_kind = RECT_PARENT, .box = {0, 0, 0, 0}, .cursor = kCursorNone},
    {.rect_kind = RECT_PARENT, .box = {3, 62, 31, 13}, .cursor = kCursorNone},
    {.rect_kind = RECT_CHILD, .box = {0, 0, 14, 13}, .cursor = kCursorHand,
     .event_mask = kMouseLeftSingle, .handler = step_previous_handler},
    {.rect_kind = RECT_CHILD, .box = {17, 0, 14, 13}, .cursor = kCursorHand,
     .event_mask = kMouseLeftSingle, .handler = step_next_handler},
    {.rect_kind = RECT_END_OF_PARENT, .box = {0, 0, 0, 0}, .cursor = kCursorNone},
    {.rect_kind = RECT_END_OF_PARENT, .box = {0, 0, 0, 0}, .cursor = kCursorNone},
    {.rect_kind = RECT_END_OF_LIST, .box = {0, 0, 0, 0}, .cursor = kCursorNone},
};

// Each handler tells the host about the click first, then steps the selection.
// The new selection shows at the next refresh of each element.
std::int32_t Q7_STDCALL step_previous_handler(std::uint32_t, std::uint32_t) {
    call_host_service<kServiceMouseClick>(std::uint32_t{0x10000}, std::uint32_t{0});
    select_previous_waypoint();
    return 0;
}

std::int32_t Q7_STDCALL step_next_handler(std::uint32_t, std::uint32_t) {
    call_host_service<kServiceMouseClick>(std::uint32_t{0x10000}, std::uint32_t{0});
    select_next_waypoint();
    return 0;
}
