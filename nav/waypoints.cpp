#include "nav/waypoints.h"

#include "display/elements.h"

constexpr char waypoint_idents[kWaypointCount][6] = {
    "GGATE", "NIMIT", "SFINT", "HMOON", "MOFFT", "HAYWD", "LIVMR", "BUCHN", "ALAME", "OAKIN",
    "FARAL", "HAMIL", "SONOM", "SJOSE", "WATSN", "MONTE", "SACRA", "STOCK", "MODES", "MERCD",
};

constexpr WaypointCoords waypoint_coords[kWaypointCount] = {
    {4202735, -1461193608},  //  0 GGATE  37.817997 N  122.475833 W
    {4194493, -1462802233},  //  1 NIMIT  37.743832 N  122.610667 W
    {4180639, -1459976701},  //  2 SFINT  37.619168 N  122.373833 W
    {4168989, -1461495847},  //  3 HMOON  37.514336 N  122.501167 W
    {4157913, -1456123161},  //  4 MOFFT  37.414669 N  122.050833 W
    {4185140, -1456994085},  //  5 HAYWD  37.659670 N  122.123833 W
    {4189029, -1453311548},  //  6 LIVMR  37.694664 N  121.815167 W
    {4221720, -1456174860},  //  7 BUCHN  37.988832 N  122.055167 W
    {4199105, -1459294676},  //  8 ALAME  37.785333 N  122.316667 W
    {4190956, -1458071803},  //  9 OAKIN  37.712004 N  122.214167 W
    {4191752, -1467471021},  // 10 FARAL  37.719167 N  123.002000 W
    {4229629, -1461587314},  // 11 HAMIL  38.060000 N  122.508833 W
    {4280045, -1465263885},  // 12 SONOM  38.513665 N  122.817000 W
    {4151912, -1454657702},  // 13 SJOSE  37.360670 N  121.928000 W
    {4105052, -1452985449},  // 14 WATSN  36.939004 N  121.787833 W
    {4065711, -1453538227},  // 15 MONTE  36.584997 N  121.834167 W
    {4280471, -1449458008},  // 16 SACRA  38.517498 N  121.492167 W
    {4210329, -1446268597},  // 17 STOCK  37.886331 N  121.224833 W
    {4180843, -1442914148},  // 18 MODES  37.621003 N  120.943667 W
    {4142836, -1437710477},  // 19 MERCD  37.279000 N  120.507500 W
};

namespace {

// Each identifier is five capital letters. It is also handed to wsprintfA as its
// own format text, so a "%" in it would be read as a conversion: this check makes
// such a table fail to compile.
consteval bool all_idents_plain() {
    for (const auto& ident : waypoint_idents) {
        for (int i = 0; i < 5; ++i) {
            if (ident[i] < 'A' || ident[i] > 'Z') return false;
        }
        if (ident[5] != '\0') return false;
    }
    return true;
}
static_assert(all_idents_plain(), "a waypoint identifier must be five capital letters");

}  // namespace

double& selection_index() {
    return ident_box.source_vars[0].value;
}

void select_next_waypoint() {
    double& index = selection_index();
    index = index + 1.0;
    if (index == 20.0) index = 0.0;
}

void select_previous_waypoint() {
    double& index = selection_index();
    index = index - 1.0;
    if (index == -1.0) index = 19.0;
}

// Every row is tested on its own by exact equality; at most one can match. Row 0
// is matched numerically, so -0.0 selects it too.
int selected_row(double index) {
    int row = 0;
    for (int r = 0; r < kWaypointCount; ++r) {
        if (index == static_cast<double>(r)) row = r;
    }
    return row;
}
