// The window's frames: the buffer they are drawn in, and the painter that
// keeps, as pixels, what does not change from one frame to the next.
#pragma once

#include "ui/draw_win.h"
#include "ui/layout.h"

#include <cstdint>
#include <utility>
#include <vector>

// A 32-bit top-down bitmap the size of the client area with a GDI+ context
// on it, kept from paint to paint so that a frame can be drawn in part.
class BackBuffer {
  public:
    BackBuffer() = default;
    ~BackBuffer() { release(); }
    BackBuffer(const BackBuffer&) = delete;
    BackBuffer& operator=(const BackBuffer&) = delete;

    // Makes the buffer width x height unless it is already; true when it was
    // made, so that it holds no frame yet. False also when it cannot be.
    bool fit(int width, int height);
    HDC dc() const { return memoryDc; }
    GpGraphics* graphics() const { return context; }
    int width() const { return size.cx; }
    int height() const { return size.cy; }

    // Finishes what GDI+ and GDI have queued, before the pixels are touched.
    void flush();
    // Row after row, width() pixels each, 0xAARRGGBB; after flush().
    std::uint32_t* pixels() { return bits; }
    void fill(const PixelBox& box, std::uint32_t colour);

  private:
    void release();
    HDC memoryDc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    std::uint32_t* bits = nullptr;
    GpGraphics* context = nullptr;
    SIZE size = {0, 0};
};

// A box of a buffer's pixels, copied out to be copied back.
struct SavedPixels {
    PixelBox box = {0, 0, 0, 0};
    std::vector<std::uint32_t> data;
};

// Paints frames with the painters' steps, but keeps the panel's backdrop,
// the page's gradient and the halo's pictures as pixels and copies them
// back: Wine's GDI+ fills each shape pixel by pixel in software, so those
// large areas cost far more to draw than to copy. A copy holds exactly what
// drawing would give there (the window test compares them with drawFrame).
class FramePainter {
  public:
    // The whole frame into the buffer.
    void paintFrame(BackBuffer& buffer, ConnectionState state);
    // Only haloArea, into a buffer that holds the last frame, of this state;
    // for a window where haloAreaStandsAlone.
    void paintHaloArea(BackBuffer& buffer, ConnectionState state);

    DrawingKit kit;

  private:
    void forgetOtherSizes(const BackBuffer& buffer);
    void learnPageBackground(BackBuffer& buffer);

    SIZE size = {0, 0};
    SavedPixels backdrop; // a cleared buffer with the panel's backdrop on it
    // Kept only when it covers whatever lies under it (Wine fills without
    // smoothing); otherwise it is drawn in every frame.
    SavedPixels pageBackground;
    bool pageBackgroundLearnt = false;
    // The area shows the state and the halo's diameter only: some twenty
    // pictures per state, kept for the current state.
    ConnectionState haloState = Disconnected;
    std::vector<std::pair<int, SavedPixels>> haloPictures;
};
