// The gauge's six element records and its two element lists, laid down at build
// time and linked by address. Every field the host fills starts at zero.
#include "display/elements.h"

#include "module/gauge.h"
#include "nav/navigation.h"

constinit StaticImageElement face_image = {
    .header = {
        .kind = KIND_STATIC_IMAGE,
        .bitmap_id = BITMAP_FACE,
        .position_x = 0,
        .position_y = 0,
        .owner_gauge = &gauge_header,
        .child_list = face_children,
        .draw_flags = 4,
    },
};

constinit MovingImageElement bearing_dot = {
    .header = {
        .kind = KIND_MOVING_IMAGE,
        .bitmap_id = BITMAP_DOT,
        .position_x = 29,
        .position_y = 29,
        .owner_gauge = &gauge_header,
        .draw_flags = 7,
    },
    .x_callback = bearing_dot_x,
    .x_scale = +1.0,
    .y_callback = bearing_dot_y,
    .y_scale = -1.0,
};

constinit StringElement distance_box = {
    .header = {
        .kind = KIND_STRING,
        .bitmap_id = kNoBitmap,
        .position_x = 14,
        .position_y = 31,
        .owner_gauge = &gauge_header,
        .draw_flags = 6,
    },
    .source_vars = {{.id = kVarLatitude}, {.id = kVarLongitude}, {.id = 0}},
    .text_callback = distance_text_callback,
    .box_width = 35,
    .box_height = 14,
    .text_color = 0x0000FF00,
    .fill_color = 0x00145414,
    .third_color = 0x005C5C5C,
    .face_name = "Courier New Bold",
    .weight = kFontWeightNormal,
    .char_set = kDefaultCharSet,
    .format_flags = kTextCentredOneLine,
    .max_chars = 5,
};

// The value of the first source slot (id 0, no host variable) is the selection
// index, 0.0 at load.
constinit StringElement ident_box = {
    .header = {
        .kind = KIND_STRING,
        .bitmap_id = kNoBitmap,
        .position_x = 14,
        .position_y = 18,
        .owner_gauge = &gauge_header,
        .draw_flags = 6,
    },
    .source_vars = {{.id = 0, .value = 0.0}, {.id = 0}, {.id = 0}},
    .text_callback = ident_text_callback,
    .box_width = 35,
    .box_height = 13,
    .text_color = 0x0000FF00,
    .fill_color = 0x00005000,
    .third_color = 0x005C5C5C,
    .face_name = "Courier New Bold",
    .weight = kFontWeightNormal,
    .char_set = kDefaultCharSet,
    .format_flags = kTextCentredOneLine,
    .max_chars = 5,
};

constinit StringElement number_box = {
    .header = {
        .kind = KIND_STRING,
        .bitmap_id = kNoBitmap,
        .position_x = 37,
        .position_y = 62,
        .owner_gauge = &gauge_header,
        .draw_flags = 2,
    },
    .source_vars = {{.id = 0}, {.id = 0}, {.id = 0}},
    .text_callback = number_text_callback,
    .box_width = 23,
    .box_height = 13,
    .text_color = 0x00C3C3C3,
    .fill_color = 0x00303030,
    .third_color = 0x005C5C5C,
    .face_name = "Courier New Bold",
    .weight = kFontWeightNormal,
    .char_set = kDefaultCharSet,
    .format_flags = kTextCentredOneLine,
    .max_chars = 2,
};

constinit StaticImageElement button_strip = {
    .header = {
        .kind = KIND_STATIC_IMAGE,
        .bitmap_id = BITMAP_BUTTONS,
        .position_x = 0,
        .position_y = 60,
        .owner_gauge = &gauge_header,
        .draw_flags = 0,
    },
};

constinit ElementList<1> gauge_elements = {&face_image.header, nullptr};

constinit ElementList<5> face_children = {
    &bearing_dot.header, &distance_box.header, &ident_box.header,
    &number_box.header,  &button_strip.header, nullptr,
};
