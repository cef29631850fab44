// quorlan7-view: its command line and route files, the button presses and
// waypoint search it makes through the host, and the program itself run as a
// user runs it (outputs, JSON, exit status and error lines).
#include "panel/layout.h"
#include "model/reference_nav.h"
#include "tools/view_options.h"
#include "tools/view_output.h"
#include "tools/view_route.h"
#include "tools/view_session.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using namespace q7view;

namespace {

// ---------------------------------------------------------------------------
// Arguments and route files

// A press as a route file says it.
std::string said(const Action& a) {
    if (a.kind == Action::kClick) return "click " + std::to_string(a.x) + "," + std::to_string(a.y);
    return (a.kind == Action::kNext ? "next " : "prev ") + std::to_string(a.count);
}

TEST(Arguments, ReadPositionPressesAndOutputs) {
    std::string error;
    const auto o = parse_arguments({"--lat", "37.5", "--lon=-122.25", "--heading", "90", "--next", "3", "--click",
                                    "26,68", "--prev", "1", "--png", "a.png", "--scale", "2", "--json"},
                                   error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(*o->latitude, 37.5);
    EXPECT_EQ(*o->longitude, -122.25);
    EXPECT_EQ(*o->heading, 90.0);
    std::vector<std::string> presses;
    for (const Action& a : o->actions) presses.push_back(said(a));
    EXPECT_EQ(presses, (std::vector<std::string>{"next 3", "click 26,68", "prev 1"}));
    EXPECT_EQ(*o->png, "a.png");
    EXPECT_EQ(o->scale, 2);
    EXPECT_TRUE(o->json);
    const auto none = parse_arguments({}, error);
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->latitude || none->png || none->json || none->route);
    EXPECT_EQ(none->scale, 4);
}

TEST(Arguments, RejectEachBadInputNamingIt) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--lat", "91", "--lon", "0"}, "latitude 91 is outside -90..90"},
        {{"--lat", "-90.5", "--lon", "0"}, "latitude -90.5 is outside -90..90"},
        {{"--lat", "10", "--lon", "181"}, "longitude 181 is outside -180..180"},
        {{"--lat", "north", "--lon", "0"}, "--lat: 'north' is not a number"},
        {{"--lat", "nan", "--lon", "0"}, "'nan' is not a number"},
        {{"--lat", "10"}, "--lat and --lon go together"},
        {{"--heading"}, "--heading needs a value"},
        {{"--at"}, "--at needs a waypoint identifier"},
        {{"--png", ""}, "--png: needs a file name"},
        {{"--click", "3"}, "--click: '3' is not a point"},
        {{"--click", "3,4.5"}, "--click: '3,4.5' is not a point"},
        {{"--next", "-2"}, "--next: '-2' is not a count"},
        {{"--scale", "0"}, "--scale: '0'"},
        {{"--scale", "99"}, "--scale: '99'"},
        {{"--at", "GGATE", "--lat", "1", "--lon", "1"}, "cannot be combined"},
        {{"--route", "r.csv", "--heading", "3"}, "--route takes its headings"},
        {{"--out", "dir"}, "--out is for the frames of --route"},
        {{"--json=yes"}, "--json takes no value"},
    };
    for (const auto& [args, expected] : cases) {
        std::string error;
        EXPECT_FALSE(parse_arguments(args, error)) << args[0];
        EXPECT_NE(error.find(expected), std::string::npos) << "got: " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

TEST(RouteFile, ReadsPositionsPressesCommentsAndColumnNames) {
    std::istringstream in(
        "# a comment\n"
        "lat, lon, heading\n"
        "37.5, -122.25, 330\n"
        "\n"
        "next\n"
        "prev 4\n"
        "click 10,68\n"
        "  -12.5,179.5,-45  \r\n");
    std::string error;
    const auto steps = parse_route(in, "r.csv", error);
    ASSERT_TRUE(steps) << error;
    std::vector<std::string> read;
    for (const RouteStep& step : *steps) {
        std::ostringstream line;
        line << step.line << ": ";
        if (step.kind == RouteStep::kPress) line << said(step.action);
        if (step.kind == RouteStep::kPosition)
            line << step.aircraft.latitude << "," << step.aircraft.longitude << "," << step.aircraft.heading;
        read.push_back(line.str());
    }
    EXPECT_EQ(read, (std::vector<std::string>{"3: 37.5,-122.25,330", "5: next 1", "6: prev 4", "7: click 10,68",
                                              "8: -12.5,179.5,-45"}));
}

TEST(RouteFile, RejectsBadLinesWithTheirLineNumber) {
    const std::pair<std::string, std::string> cases[] = {
        {"37,-122,0\n37,-122\n", "r.csv:2: malformed line '37,-122'"},
        {"37,-122,0,5\n", "r.csv:1: malformed line"},
        {"37,west,0\n", "r.csv:1: malformed line"},
        {"1,2,3\nlat,lon,heading\n", "r.csv:2: malformed line"},
        {"95,-122,0\n", "r.csv:1: latitude 95 is outside -90..90"},
        {"37,-200,0\n", "r.csv:1: longitude -200 is outside -180..180"},
        {"37,-122,0\nnext two\n", "r.csv:2: 'next two': expected next or next N"},
        {"37,-122,0\nclick 5\n", "r.csv:2: 'click 5': expected click X,Y"},
        {"# nothing\nnext\n", "r.csv: no position lines"},
    };
    for (const auto& [text, expected] : cases) {
        std::istringstream in(text);
        std::string error;
        EXPECT_FALSE(parse_route(in, "r.csv", error)) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << "got: " << error;
    }
}

// ---------------------------------------------------------------------------
// The session: presses through hit testing, the waypoint search

class ViewSession : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(session.open(Q7_MODULE_FILE, error)) << error;
        session.place(default_aircraft());
    }
    void TearDown() override {
        for (const auto& v : session.host().problems()) ADD_FAILURE() << "host saw: " << v;
    }
    std::string ident() { return trimmed(session.frame().readout.ident.text); }

    Session session;
};

TEST_F(ViewSession, ClicksOnEachButtonsEdgePixelsStepAndClicksBesideThemDoNot) {
    // The left arrow covers x 3..16, the right arrow x 20..33, both y 62..74.
    const struct {
        std::vector<std::pair<int, int>> edges;
        const char* ident;         // what a click there selects
        std::pair<int, int> back;  // the other arrow, back to GGATE
    } buttons[] = {{{{20, 62}, {33, 62}, {20, 74}, {33, 74}, {33, 68}, {26, 74}}, "NIMIT", {10, 68}},
                   {{{3, 62}, {16, 62}, {3, 74}, {16, 74}, {3, 68}, {10, 62}}, "MERCD", {26, 68}}};
    const std::pair<int, int> misses[] = {{17, 68}, {18, 68}, {19, 68}, {2, 68},  {34, 68}, {10, 61},
                                          {10, 75}, {26, 61}, {26, 75}, {45, 68}, {31, 31}};
    ASSERT_EQ(ident(), "GGATE");
    for (const auto& b : buttons) {
        for (auto [x, y] : b.edges) {
            EXPECT_TRUE(session.click(x, y)) << x << "," << y;
            EXPECT_EQ(ident(), b.ident) << "click at " << x << "," << y;
            session.click(b.back.first, b.back.second);
            ASSERT_EQ(ident(), "GGATE");
        }
    }
    for (auto [x, y] : misses) {
        EXPECT_FALSE(session.click(x, y)) << x << "," << y;
        EXPECT_EQ(ident(), "GGATE") << "click at " << x << "," << y;
    }
}

TEST_F(ViewSession, PressesUseTheRightmostAndLeftmostButtonsAndAreRecorded) {
    std::string error;
    ASSERT_TRUE(session.press({Action::kNext, 3, 0, 0}, error));
    const Frame f = session.frame();
    EXPECT_EQ(trimmed(f.readout.ident.text), "HMOON");
    EXPECT_EQ(f.readout.number.text, " 4");
    EXPECT_EQ(f.readout.selection(), 3.0);
    ASSERT_EQ(f.clicks.size(), 3u);
    EXPECT_TRUE(f.clicks[0].hit);
    ASSERT_EQ(f.clicks[0].calls.size(), 1u);
    EXPECT_EQ(f.clicks[0].calls[0].position, q7host::kServiceMouseClick);
    ASSERT_TRUE(session.press({Action::kPrevious, 5, 0, 0}, error));
    EXPECT_EQ(ident(), "MODES");
    EXPECT_TRUE(session.frame().clicks.empty()) << "a frame reports only the presses since the last";
}

TEST_F(ViewSession, SittingOnAWaypointFindsItsStoredPositionFromAnywhere) {
    struct Case {
        Aircraft start;
        const char* ident;
        int row;  // in the waypoint table, for the stored coordinates
    } cases[] = {
        {default_aircraft(), "GGATE", 0}, {{0.0, 0.0, 45.0}, "MERCD", 19}, {{-40.0, 100.0, 200.0}, "sfint", 2}};
    for (const auto& c : cases) {
        session.place(c.start);
        std::string error;
        ASSERT_TRUE(sit_on(session, c.ident, error)) << c.ident << ": " << error;
        const Frame f = session.frame();
        EXPECT_EQ(trimmed(f.readout.distance.text), "0") << c.ident;
        EXPECT_NEAR(f.aircraft.latitude, q7ref::waypoint_lat_degrees(c.row), 1e-5) << c.ident;  // about a metre
        EXPECT_NEAR(f.aircraft.longitude, q7ref::waypoint_lon_degrees(c.row), 1e-4) << c.ident;
        EXPECT_EQ(f.aircraft.heading, c.start.heading);
    }
    std::string error;
    EXPECT_FALSE(sit_on(session, "ZZZZZ", error));
    EXPECT_NE(error.find("no waypoint ZZZZZ"), std::string::npos) << error;
    EXPECT_NE(error.find("GGATE NIMIT"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------
// The program

struct ViewerRun {
    int status = -1;
    std::string out, err;
};

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the viewer in `dir` with a shell-quoted argument string.
ViewerRun run_viewer(const fs::path& dir, const std::string& args) {
    const std::string cmd =
        "cd '" + dir.string() + "' && '" Q7_VIEWER_FILE "' " + args + " >stdout.txt 2>stderr.txt </dev/null";
    ViewerRun r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(dir / "stdout.txt");
    r.err = slurp(dir / "stderr.txt");
    for (const char* name : {"stdout.txt", "stderr.txt"}) fs::remove(dir / name);
    return r;
}

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / ("q7view-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::set<std::string> files() const {
        std::set<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(dir)) {
            out.insert(fs::relative(e.path(), dir).string());
        }
        return out;
    }
    void write(const std::string& name, const std::string& text) { std::ofstream(dir / name) << text; }
    q7host::Image png(const std::string& name) {
        std::string error;
        auto img = q7host::read_png((dir / name).string(), error);
        EXPECT_TRUE(img) << error;
        return img ? *img : q7host::Image();
    }

    fs::path dir;
};

TEST_F(Program, WithoutArgumentsDrawsTheDefaultSceneToPreviewPng) {
    const ViewerRun r = run_viewer(dir, "");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("waypoint  GGATE (number 1)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("distance  12 nm"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("x +3.37  y +24.27"), std::string::npos) << r.out;
    EXPECT_EQ(files(), std::set<std::string>{"preview.png"});

    // The picture is the session's frame of the same scene, 4x enlarged.
    Session s;
    std::string error;
    ASSERT_TRUE(s.open(Q7_MODULE_FILE, error)) << error;
    s.place(default_aircraft());
    EXPECT_EQ(png("preview.png"), s.frame().image.scaled(4));
}

// A module Windows loads although something in it is odd: status 0, each
// oddity a line of the summary and an entry of the JSON's warnings.
TEST_F(Program, OddButLoadableModuleRunsWithWarnings) {
    const std::string module = std::string(" --module '") + Q7_CORPUS_DIR + "/record-dot-bitmap-missing.gau'";
    const ViewerRun summary = run_viewer(dir, "--png p.png" + module);
    ASSERT_EQ(summary.status, 0) << summary.err;
    EXPECT_NE(summary.out.find("\nwarning   bitmap 0x9999 cannot be found"), std::string::npos) << summary.out;
    const ViewerRun json = run_viewer(dir, "--json" + module);
    ASSERT_EQ(json.status, 0) << json.err;
    const auto j = nlohmann::json::parse(json.out);
    ASSERT_EQ(j["warnings"].size(), 1u) << json.out;
    EXPECT_NE(j["warnings"][0].get<std::string>().find("bitmap 0x9999"), std::string::npos) << json.out;
    EXPECT_TRUE(nlohmann::json::parse(run_viewer(dir, "--json").out)["warnings"].empty());
}

TEST_F(Program, JsonCarriesReadoutsDotSelectionAndServiceCalls) {
    const ViewerRun r = run_viewer(dir, "--json --next 1 --click 10,68 --click 26,68 --heading 0");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(files().empty()) << "--json alone writes no picture";
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["readouts"]["ident"], "NIMIT");
    EXPECT_EQ(j["readouts"]["number"], " 2");
    EXPECT_EQ(j["selection"]["index"], 1.0);
    EXPECT_EQ(j["selection"]["number"], 2.0);
    ASSERT_EQ(j["clicks"].size(), 3u);  // the --next press and the two clicks
    EXPECT_EQ(j["clicks"][2]["x"], 26);
    EXPECT_EQ(j["clicks"][2]["hit"], true);
    EXPECT_EQ(j["clicks"][2]["calls"][0]["service"], q7host::kServiceMouseClick);
    const double x = j["dot"]["x"], y = j["dot"]["y"];
    EXPECT_NEAR(std::hypot(x, y), q7ref::kRadius, 0.01);
    EXPECT_EQ(j["dot"]["drawn_at"]["x"], static_cast<int>(std::lround(q7ref::kRestX + x)));
    EXPECT_EQ(j["dot"]["drawn_at"]["y"], static_cast<int>(std::lround(q7ref::kRestY - y)));
    EXPECT_EQ(j["dot"]["centre_pixel"]["x"], j["dot"]["drawn_at"]["x"].get<int>() + 2);
    // Each dot callback refreshes latitude, longitude and heading.
    std::vector<std::uint32_t> refreshed;
    for (const auto& c : j["calls"]) {
        if (c["service"] == q7host::kServiceVarRefresh)
            refreshed.push_back(std::stoul(c["variable"].get<std::string>(), nullptr, 16));
    }
    using namespace q7host;
    EXPECT_EQ(refreshed, (std::vector<std::uint32_t>{kSimLatitude, kSimLongitude, kSimHeading, kSimLatitude,
                                                     kSimLongitude, kSimHeading}));
}

TEST_F(Program, AtPutsTheAircraftOnTheWaypoint) {
    const ViewerRun r = run_viewer(dir, "--at mercd --json --png at.png --scale 1");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["readouts"]["ident"], "MERCD");
    EXPECT_EQ(j["readouts"]["number"], "20");
    EXPECT_EQ(j["readouts"]["distance"], "  0");
    EXPECT_EQ(png("at.png").width(), 63);
}

TEST_F(Program, RouteGivesOneFramePerPositionAndAContactSheet) {
    write("hop.csv",
          "# three positions, buttons pressed in between\n"
          "37.62,-122.38,330\n"
          "next\n"
          "37.70,-122.30,300\n"
          "click 10,68\n"
          "prev 2\n"
          "37.80,-122.40,0\n");
    const ViewerRun r = run_viewer(dir, "--route hop.csv --json --scale 2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(files(),
              (std::set<std::string>{"hop.csv", "hop-frames", "hop-frames/frame-001.png", "hop-frames/frame-002.png",
                                     "hop-frames/frame-003.png", "hop-frames/sheet.png"}));
    std::vector<std::string> idents;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line);
        idents.push_back(j["readouts"]["ident"]);
        EXPECT_EQ(j["frame"], static_cast<int>(idents.size()));
    }
    EXPECT_EQ(idents, (std::vector<std::string>{"GGATE", "NIMIT", "MODES"}));
    const auto frame = png("hop-frames/frame-002.png");
    EXPECT_EQ(frame.width(), 126);
    EXPECT_EQ(frame.height(), 154);
    // The sheet holds the three frames side by side, each as it was written.
    const auto sheet = png("hop-frames/sheet.png");
    EXPECT_GE(sheet.width(), 3 * frame.width());
    EXPECT_LT(sheet.width(), 4 * frame.width());
    int found = 0;
    for (int x0 = 0; x0 + frame.width() <= sheet.width(); ++x0) {
        bool same = true;
        for (int y = 0; y < frame.height() && same; y += 7)
            for (int x = 0; x < frame.width() && same; x += 5) same = sheet.at(x0 + x, 8 + y) == frame.at(x, y);
        found += same;
    }
    EXPECT_EQ(found, 1) << "frame 2 appears once on the sheet";

    // Run again into the same folder: replaced, not mixed.
    write("hop.csv", "37.62,-122.38,330\n");
    ASSERT_EQ(run_viewer(dir, "--route hop.csv").status, 0);
    EXPECT_EQ(files(),
              (std::set<std::string>{"hop.csv", "hop-frames", "hop-frames/frame-001.png", "hop-frames/sheet.png"}));
}

TEST_F(Program, BadInputGivesOneLineStatusTwoAndNoOutput) {
    write("bad-line.csv", "37.6,-122.4,0\n37.6;-122.4;0\n");
    write("bad-lat.csv", "37.6,-122.4,0\n-95,-122.4,0\n");
    write("ok.csv", "37.6,-122.4,0\n");
    fs::create_directories(dir / "busy");
    write("busy/notes.txt", "mine");
    write("presses.csv", "next 100000\nnext\n37.6,-122.4,0\n");
    fs::create_symlink("ok.csv", dir / "link.png");
    ASSERT_EQ(mkfifo((dir / "pipe.png").c_str(), 0644), 0);
    // An earlier route's output, which a failing run must leave as it was.
    fs::create_directories(dir / "kept");
    write("kept/frame-001.png", "earlier");
    const std::pair<std::string, std::string> cases[] = {
        {"--wings", "unknown option --wings"},
        {"--lat 91 --lon 0 --png p.png", "latitude 91 is outside -90..90"},
        {"--route nowhere.csv", "cannot read route nowhere.csv"},
        {"--route bad-line.csv", "bad-line.csv:2: malformed line '37.6;-122.4;0'"},
        {"--route bad-lat.csv", "bad-lat.csv:2: latitude -95 is outside -90..90"},
        {"--module nowhere.gau --png p.png", "nowhere.gau"},
        {"--module bad-line.csv --png p.png", "bad-line.csv"},
        {"--at NOWHR --png p.png", "no waypoint NOWHR"},
        {"--png no/such/folder/p.png", "no/such/folder/p.png"},
        {"--route ok.csv --out busy", "busy holds other files"},
        {"--png link.png", "link.png is a symbolic link"},
        {"--png pipe.png", "pipe.png is a pipe"},
        {"--route ok.csv --out kept --png pipe.png", "pipe.png is a pipe"},
        {"--route presses.csv", "100001 button presses in all"},
        {"--route ok.csv --out kept --png no/such/folder/s.png", "no/such/folder/s.png"},
    };
    const auto before = files();
    for (const auto& [args, expected] : cases) {
        const ViewerRun r = run_viewer(dir, args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find(expected), std::string::npos) << args << " said: " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_EQ(files(), before) << args << " left something behind";
    }
}

// A module may write any bytes into its texts; a copy whose first waypoint
// reads G, 0xFF, 0x01, T, E must come through JSON (ASCII, the exact bytes
// as character codes), the summary and a route's lines, readable.
TEST_F(Program, TextBytesThatAreNotUtf8OrPrintableSurviveEveryOutput) {
    std::string bytes = slurp(Q7_MODULE_FILE);
    const auto at = bytes.find("GGATE");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at + 1, 2, "\xFF\x01");
    std::ofstream(dir / "odd.gau", std::ios::binary) << bytes;

    ViewerRun r = run_viewer(dir, "--module odd.gau --json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::all_of(r.out.begin(), r.out.end(), [](char c) { return c > 0 && c < 0x7F; }));
    EXPECT_NE(r.out.find(R"("ident": "G\u00ff\u0001TE")"), std::string::npos) << r.out;
    const auto ident = nlohmann::json::parse(r.out)["readouts"]["ident"].get<std::string>();
    EXPECT_EQ(ident, "G\xC3\xBF\x01TE");  // U+00FF and U+0001 in UTF-8

    r = run_viewer(dir, "--module odd.gau --png p.png");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("waypoint  G\\xFF\\x01TE (number 1)"), std::string::npos) << r.out;

    write("one.csv", "37.6,-122.4,0\n");
    r = run_viewer(dir, "--module odd.gau --route one.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("G\\xFF\\x01TE 1,"), std::string::npos) << r.out;
}

// At --scale 32 one sheet of eleven frames would be over 10000 pixels wide
// and 12000 high; it is split into pages, each a picture any reader opens.
TEST_F(Program, ASheetTooBigForOnePictureIsSplitIntoPages) {
    std::string route;
    for (int i = 0; i < 11; ++i) route += "37.6," + std::to_string(-122.4 + i * 0.01) + ",0\n";
    write("long.csv", route);
    const ViewerRun r = run_viewer(dir, "--route long.csv --scale 32");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("in 2 pages"), std::string::npos) << r.out;
    const auto first = png("long-frames/sheet-1.png"), second = png("long-frames/sheet-2.png");
    EXPECT_FALSE(fs::exists(dir / "long-frames/sheet.png"));
    EXPECT_TRUE(fs::exists(dir / "long-frames/frame-011.png"));
    for (const auto* page : {&first, &second}) {
        EXPECT_LE(page->width(), q7view::kMaxPictureSide);
        EXPECT_LE(page->height(), q7view::kMaxPictureSide);
        EXPECT_LE(std::int64_t{page->width()} * page->height(), q7view::kMaxPicturePixels);
    }
    // The second page holds the one frame left over.
    EXPECT_LT(second.width(), first.width() / 4);
    EXPECT_EQ(second.at(8 + 1000, 8 + 1000), png("long-frames/frame-011.png").at(1000, 1000));
}

}  // namespace
