#include "view_window.h"

#include "tools/text_escape.h"
#include "tools/view_session.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <sys/select.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <numbers>
#include <string>

namespace q7view {

namespace {

constexpr double kTurnStep = 5.0;     // degrees per key press (1 with Shift)
constexpr double kMoveStep = 0.5;     // nautical miles per key press (0.05 with Shift)
constexpr double kSpeedStep = 60.0;   // knots per +/- press
constexpr double kMaxSpeed = 3600.0;  // knots: a minute of flight crosses the whole map
constexpr int kFrameMillis = 50;      // the host's redraw interval
constexpr int kStatusLines = 2;
constexpr int kLineHeight = 14;

// Moves the aircraft `nm` nautical miles along its heading on the local grid
// (a nautical mile being a minute of latitude).
Aircraft moved(Aircraft a, double nm) {
    const double h = a.heading * std::numbers::pi / 180.0;
    a.latitude += nm * std::cos(h) / 60.0;
    const double c = std::cos(a.latitude * std::numbers::pi / 180.0);
    if (std::fabs(c) > 1e-6) a.longitude += nm * std::sin(h) / (60.0 * c);
    a.latitude = std::clamp(a.latitude, -89.9, 89.9);
    a.longitude = std::fmod(a.longitude + 540.0, 360.0) - 180.0;
    return a;
}

double wrapped_heading(double h) {
    h = std::fmod(h, 360.0);
    return h < 0 ? h + 360.0 : h;
}

// Spreads an 8-bit channel over a TrueColor visual's mask.
unsigned long channel(unsigned long mask, std::uint8_t value) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    int bits = 0;
    while ((mask >> (shift + bits)) & 1) ++bits;
    const unsigned long v =
        bits >= 8 ? static_cast<unsigned long>(value) << (bits - 8) : static_cast<unsigned long>(value) >> (8 - bits);
    return (v << shift) & mask;
}

class Window {
public:
    Window(Display* d, int width, int height, int status_height)
        : display_(d), width_(width), height_(height), status_height_(status_height) {
        const int screen = DefaultScreen(d);
        visual_ = DefaultVisual(d, screen);
        depth_ = DefaultDepth(d, screen);
        window_ = XCreateSimpleWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(width),
                                      static_cast<unsigned>(height + status_height), 0, BlackPixel(d, screen),
                                      BlackPixel(d, screen));
        XStoreName(d, window_, "quorlan7");
        XSizeHints hints{};
        hints.flags = PMinSize | PMaxSize;
        hints.min_width = hints.max_width = width;
        hints.min_height = hints.max_height = height + status_height;
        XSetWMNormalHints(d, window_, &hints);
        XSelectInput(d, window_, ExposureMask | ButtonPressMask | KeyPressMask | StructureNotifyMask);
        wm_delete_ = XInternAtom(d, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(d, window_, &wm_delete_, 1);
        gc_ = XCreateGC(d, window_, 0, nullptr);
        XSetForeground(
            d, gc_,
            channel(visual_->red_mask, 200) | channel(visual_->green_mask, 200) | channel(visual_->blue_mask, 200));
        XSetBackground(d, gc_, BlackPixel(d, screen));
        auto* data = static_cast<char*>(std::calloc(static_cast<std::size_t>(width) * height, 4));
        image_ = XCreateImage(d, visual_, static_cast<unsigned>(depth_), ZPixmap, 0, data, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), 32, 0);
        XMapWindow(d, window_);
    }
    ~Window() {
        if (image_) XDestroyImage(image_);  // frees the pixel data too
        XFreeGC(display_, gc_);
        XDestroyWindow(display_, window_);
    }

    ::Window id() const { return window_; }
    Atom wm_delete() const { return wm_delete_; }

    void show(const q7host::Image& picture, const std::string& status1, const std::string& status2) {
        for (int y = 0; y < height_ && y < picture.height(); ++y) {
            for (int x = 0; x < width_ && x < picture.width(); ++x) {
                const q7host::Rgb c = picture.at(x, y);
                XPutPixel(image_, x, y,
                          channel(visual_->red_mask, c.r) | channel(visual_->green_mask, c.g) |
                              channel(visual_->blue_mask, c.b));
            }
        }
        XPutImage(display_, window_, gc_, image_, 0, 0, 0, 0, static_cast<unsigned>(width_),
                  static_cast<unsigned>(height_));
        XClearArea(display_, window_, 0, height_, static_cast<unsigned>(width_), static_cast<unsigned>(status_height_),
                   False);
        XDrawString(display_, window_, gc_, 4, height_ + kLineHeight - 2, status1.c_str(),
                    static_cast<int>(status1.size()));
        XDrawString(display_, window_, gc_, 4, height_ + 2 * kLineHeight - 2, status2.c_str(),
                    static_cast<int>(status2.size()));
        XFlush(display_);
    }

private:
    Display* display_;
    int width_, height_, status_height_;
    Visual* visual_ = nullptr;
    int depth_ = 24;
    ::Window window_ = 0;
    Atom wm_delete_ = 0;
    GC gc_{};
    XImage* image_ = nullptr;
};

std::string log_line(const Frame& f, double speed) {
    using q7tools::readable;
    const q7host::FrameReadout& r = f.readout;
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "ident %s number %s distance %s heading %.1f lat %.6f lon %.6f speed %.0f dot %+.2f %+.2f",
                  readable(trimmed(r.ident.text)).c_str(), readable(trimmed(r.number.text)).c_str(),
                  readable(trimmed(r.distance.text)).c_str(), f.aircraft.heading, f.aircraft.latitude,
                  f.aircraft.longitude, speed, r.dot.x, r.dot.y);
    return buf;
}

// The window's loop; false with `error` set when no display can be opened or
// the module misbehaves.
bool show_window(Session& session, int scale, std::ostream& log, std::string& error) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        const char* name = std::getenv("DISPLAY");
        error = name && *name ? std::string("cannot open the X display ") + name
                              : "cannot open a window: DISPLAY is not set";
        return false;
    }
    const int screen = DefaultScreen(display);
    if (DefaultVisual(display, screen)->c_class != TrueColor) {
        XCloseDisplay(display);
        error = "the X display has no TrueColor visual";
        return false;
    }
    const auto& renderer = session.renderer();
    const int width = renderer.width() * scale, height = renderer.height() * scale;
    bool running = true;
    {
        Window window(display, width, height, kStatusLines * kLineHeight);
        // Ready once the window is on screen, so a click sent after the
        // ready line reaches it.
        for (XEvent e;;) {
            XNextEvent(display, &e);
            if (e.type == MapNotify) break;
        }
        char ready[128];
        std::snprintf(ready, sizeof ready, "window 0x%lx ready, gauge %dx at %d x %d",
                      static_cast<unsigned long>(window.id()), scale, width, height);
        log << ready << std::endl;

        double speed = 0.0;  // knots along the heading
        std::string last;
        auto tick = std::chrono::steady_clock::now();
        const int fd = ConnectionNumber(display);
        while (running) {
            while (XPending(display)) {
                XEvent e;
                XNextEvent(display, &e);
                if (e.type == ButtonPress && e.xbutton.button == Button1) {
                    const int gx = e.xbutton.x / scale, gy = e.xbutton.y / scale;
                    const bool hit = session.click(gx, gy);
                    log << "click " << gx << "," << gy << (hit ? " hit" : " missed") << std::endl;
                } else if (e.type == KeyPress) {
                    const KeySym key = XLookupKeysym(&e.xkey, 0);
                    const bool fine = e.xkey.state & ShiftMask;
                    Aircraft a = session.aircraft();
                    std::string ignored;
                    switch (key) {
                        case XK_Left: a.heading = wrapped_heading(a.heading - (fine ? 1 : kTurnStep)); break;
                        case XK_Right: a.heading = wrapped_heading(a.heading + (fine ? 1 : kTurnStep)); break;
                        case XK_Up: a = moved(a, fine ? kMoveStep / 10 : kMoveStep); break;
                        case XK_Down: a = moved(a, -(fine ? kMoveStep / 10 : kMoveStep)); break;
                        case XK_plus:
                        case XK_equal:
                        case XK_KP_Add: speed = std::min(speed + kSpeedStep, kMaxSpeed); break;
                        case XK_minus:
                        case XK_KP_Subtract: speed = std::max(speed - kSpeedStep, 0.0); break;
                        case XK_n: session.press({Action::kNext, 1, 0, 0}, ignored); break;
                        case XK_p: session.press({Action::kPrevious, 1, 0, 0}, ignored); break;
                        case XK_q:
                        case XK_Escape: running = false; break;
                        default: break;
                    }
                    session.place(a);
                } else if (e.type == ClientMessage && static_cast<Atom>(e.xclient.data.l[0]) == window.wm_delete()) {
                    running = false;
                }
            }
            if (!running) break;

            const auto now = std::chrono::steady_clock::now();
            const double hours = std::chrono::duration<double>(now - tick).count() / 3600.0;
            tick = now;
            if (speed > 0) session.place(moved(session.aircraft(), speed * hours));

            const Frame f = session.frame();
            if (!session.host().problems().empty()) {
                error = "the module misbehaved: " + session.host().problems().front().sentence();
                running = false;
                break;
            }
            const std::string line = log_line(f, speed);
            if (line != last) {
                log << line << std::endl;
                last = line;
            }
            char status1[128], status2[128];
            std::snprintf(status1, sizeof status1, "%.4f %c %.4f %c  hdg %03.0f  %3.0f kt",
                          std::fabs(f.aircraft.latitude), f.aircraft.latitude < 0 ? 'S' : 'N',
                          std::fabs(f.aircraft.longitude), f.aircraft.longitude < 0 ? 'W' : 'E', f.aircraft.heading,
                          speed);
            std::snprintf(status2, sizeof status2, "arrows turn/move  +/- speed  q quit");
            window.show(f.image.scaled(scale), status1, status2);

            fd_set fds;
            FD_ZERO(&fds);
            FD_SET(fd, &fds);
            timeval timeout{0, kFrameMillis * 1000};
            select(fd + 1, &fds, nullptr, nullptr, &timeout);
        }
    }
    XCloseDisplay(display);
    return error.empty();
}

}  // namespace

int run_window(const Options& o) {
    Session s;
    if (int st = start_scene(s, o)) return st;
    if (int st = check_size(s, o.scale)) return st;
    for (const q7host::Warning& w : s.host().warnings()) {
        std::cout << "warning " << q7tools::readable(w.sentence()) << "\n";
    }
    std::string error;
    return show_window(s, o.scale, std::cout, error) ? kDone : fail(kFailed, error);
}

}  // namespace q7view
