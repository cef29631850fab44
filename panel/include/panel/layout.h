// What the host knows of the records a gauge module hands it: byte offsets and
// values of the interface, independent of any compiler's idea of the structs.
#pragma once

#include <cstdint>

namespace q7host {

namespace import_table {
inline constexpr unsigned kSize = 16, kEntryId = 0, kEntryAddress = 4;
inline constexpr std::uint32_t kPanelServices = 0x0F;
}  // namespace import_table

namespace module_var {
inline constexpr unsigned kSize = 28, kId = 0, kValue = 12;
}

namespace linkage {
inline constexpr unsigned kSize = 32, kModuleId = 0, kHook1 = 4, kHook2 = 8, kGauges = 24;
}

namespace gauge_header {
inline constexpr unsigned kSize = 88, kFixed610 = 0, kName = 4, kElementList = 8;
inline constexpr unsigned kRoutine1 = 12, kInstall = 16, kRoutine3 = 20, kRoutine4 = 24;
inline constexpr unsigned kRoutine5 = 28, kRoutine6 = 32, kUninstall = 36, kFixed100 = 44;
}  // namespace gauge_header

namespace element {
inline constexpr unsigned kHeaderSize = 60, kKind = 0, kBitmapId = 4, kPositionX = 8, kPositionY = 12;
inline constexpr unsigned kOwnerGauge = 32, kBackLink = 36, kChildList = 40, kDrawFlags = 48;
inline constexpr std::uint32_t kStaticImage = 0, kString = 2, kMovingImage = 3;
inline constexpr std::uint32_t kNoBitmap = 0xFFFFFFFF;   // kBitmapId of an element that shows no picture
inline constexpr std::uint32_t kTransparentBlack = 0x1;  // kDrawFlags bit: pure black is not painted
}  // namespace element

namespace static_image {
inline constexpr unsigned kSize = 80, kHostImage = 60;
}

namespace moving_image {
inline constexpr unsigned kSize = 168, kXSource = 60, kXCallback = 88, kXScale = 92;
inline constexpr unsigned kYSource = 104, kYCallback = 132, kYScale = 136;
}  // namespace moving_image

namespace string_element {
inline constexpr unsigned kSize = 312, kSourceVars = 60, kTextCallback = 180, kTextBuffer = 184;
inline constexpr unsigned kBoxWidth = 192, kBoxHeight = 196, kTextColor = 208, kFillColor = 212;
inline constexpr unsigned kThirdColor = 216, kFaceName = 248, kWeight = 280, kCharSet = 284;
inline constexpr unsigned kFormatFlags = 288, kMaxChars = 292;
}  // namespace string_element

namespace mouse_rect {
inline constexpr unsigned kSize = 44, kKind = 0, kBoxX = 4, kBoxY = 8, kBoxWidth = 12;
inline constexpr unsigned kBoxHeight = 16, kCursor = 20, kEventMask = 28, kHandler = 36;
inline constexpr std::uint32_t kEnd = 0, kParent = 1, kChild = 2, kEndParent = 3;
inline constexpr std::uint32_t kLeftSingle = 0x20000000;
}  // namespace mouse_rect

// Simulation variables the host serves, in host units.
inline constexpr std::uint32_t kSimLatitude = 0x47;   // metres north of the equator
inline constexpr std::uint32_t kSimLongitude = 0x48;  // 2^48 per turn
inline constexpr std::uint32_t kSimHeading = 0x56;    // degrees

}  // namespace q7host
