// Time per paint of the window's frames, drawn into an off-screen buffer the
// size of a 900 x 600 window's client area: the paints the window makes, and
// for comparison a frame drawn from nothing with new drawing objects and a
// new buffer, which is what a paint cost when nothing was kept. Not a test;
// run under Wine:
//
//   tools/wine-run.sh build/windows/window_paint_bench.exe [frames]
//
// The copy to the screen (BitBlt to the window) is not included; the CPU
// benchmark (window_cpu.py) measures the client as a whole.
#include "core/state.h"
#include "ui/frame_win.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int clientWidth = 884; // a 900 x 600 window's client area under Wine
constexpr int clientHeight = 561;

void report(const char* what, int frames, const std::function<void()>& paint) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> ms;
    ms.reserve(frames);
    for (int i = 0; i < frames; ++i) {
        QueryPerformanceCounter(&start);
        paint();
        QueryPerformanceCounter(&end);
        ms.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                     static_cast<double>(frequency.QuadPart));
    }
    std::sort(ms.begin(), ms.end());
    std::printf("| %-52s | %7.2f | %7.2f | %7.2f |\n", what, ms[ms.size() / 2],
                ms[ms.size() * 95 / 100], ms.back());
}

} // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::clamp(std::atoi(argv[1]), 20, 10000) : 600;
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return 1;
    LocationList rows;
    for (const char* code : {"US", "DE", "FR", "GB", "NL", "JP"})
        rows.push_back({code, L"Name"});
    appState.locations.store(std::make_shared<const LocationList>(std::move(rows)));
    {
        FramePainter painter;
        BackBuffer buffer;
        if (!buffer.fit(nullptr, clientWidth, clientHeight)) return 1;
        std::printf("%d frames of %d x %d, milliseconds per paint\n\n", frames, clientWidth,
                    clientHeight);
        std::printf("| %-52s | %7s | %7s | %7s |\n|%s|---------|---------|---------|\n", "paint",
                    "p50", "p95", "max", std::string(54, '-').c_str());
        // While connected: the halo's area, one step of 0.08 per frame; the
        // first turn draws each of its pictures once.
        painter.paintFrame(buffer, Connected);
        report("halo frame, connected (its area alone)", frames, [&] {
            view.pulsePhase = advancePulsePhase(view.pulsePhase);
            painter.paintHaloArea(buffer, Connected);
            buffer.flush();
        });
        // A hover, a press or a state change: the whole window.
        int hovered = 0;
        report("whole frame, main page (hover moving over the rows)", frames, [&] {
            view.hoveredIndex = hovered++ % 6;
            painter.paintFrame(buffer, Disconnected);
            buffer.flush();
        });
        view.settingsPageShown = true;
        report("whole frame, settings page", frames, [&] {
            painter.paintFrame(buffer, Disconnected);
            buffer.flush();
        });
        view.settingsPageShown = false;
        // A live resize: every frame a new size, nothing kept yet.
        BackBuffer wider;
        if (!wider.fit(nullptr, clientWidth + 1, clientHeight)) return 1;
        int resized = 0;
        report("whole frame, each at a new size (a live resize)", frames, [&] {
            BackBuffer& b = resized++ % 2 ? wider : buffer;
            painter.paintFrame(b, Connected);
            b.flush();
        });
        report("former paint: new objects, buffer, whole frame drawn", frames, [&] {
            DrawingKit kit;
            BackBuffer fresh;
            fresh.fit(nullptr, clientWidth, clientHeight);
            drawFrame(fresh.graphics(), kit, clientWidth, clientHeight, Connected);
            fresh.flush();
        });
    }
    Gdiplus::GdiplusShutdown(token);
    return 0;
}
