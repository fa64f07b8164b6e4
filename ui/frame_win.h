// The window's frames: the buffer they are drawn in, and the painter that
// keeps, as pixels, what does not change from one frame to the next.
#pragma once

#include "ui/draw_win.h"

#include <cstdint>
#include <utility>
#include <vector>

// A bitmap the size of the client area with a GDI+ context on it, kept
// from paint to paint so that a frame can be drawn in part. Device
// dependent, as the window's own: Wine's GDI+ draws text on a DIB section
// with other edge pixels.
class BackBuffer {
  public:
    BackBuffer() = default;
    ~BackBuffer() { release(); }
    BackBuffer(const BackBuffer&) = delete;
    BackBuffer& operator=(const BackBuffer&) = delete;

    // Makes the buffer width x height, compatible with the reference context
    // (or 32-bit without one), unless it is already; true when it was made,
    // so that it holds no frame yet. False also when it cannot be.
    bool fit(HDC reference, int width, int height);
    HDC dc() const { return memoryDc; }
    // For copies between the buffer and the bitmaps of its kept pictures.
    HDC scratchDc() const { return scratch; }
    GpGraphics* graphics() const { return context; }
    int width() const { return size.cx; }
    int height() const { return size.cy; }

    // Finishes what GDI+ and GDI have queued.
    void flush();
    void fill(const PixelBox& box, bool white);
    // The colours of a box, row after row, 0xRRGGBB.
    std::vector<std::uint32_t> colours(const PixelBox& box);

  private:
    void release();
    HDC memoryDc = nullptr;
    HDC scratch = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    GpGraphics* context = nullptr;
    SIZE size = {0, 0};
};

// A box of a buffer's pixels, kept in a bitmap of its own to be copied back.
class SavedPixels {
  public:
    SavedPixels() = default;
    SavedPixels(BackBuffer& buffer, const PixelBox& box);
    ~SavedPixels() {
        if (bitmap) DeleteObject(bitmap);
    }
    SavedPixels(SavedPixels&& other) noexcept
        : box(other.box), bitmap(std::exchange(other.bitmap, nullptr)) {}
    SavedPixels& operator=(SavedPixels&& other) noexcept {
        std::swap(box, other.box);
        std::swap(bitmap, other.bitmap);
        return *this;
    }
    bool empty() const { return !bitmap; }
    // Copies back the part of the box that lies in part (all of it).
    void restore(BackBuffer& buffer) const { restore(buffer, box); }
    void restore(BackBuffer& buffer, const PixelBox& part) const;

  private:
    PixelBox box = {0, 0, 0, 0};
    HBITMAP bitmap = nullptr;
};

// Pictures of one part of the frame, by a key for what they show.
class KeptPictures {
  public:
    const SavedPixels* find(int key) const;
    void keep(int key, SavedPixels pixels) { kept.emplace_back(key, std::move(pixels)); }
    void clear() { kept.clear(); }

  private:
    std::vector<std::pair<int, SavedPixels>> kept;
};

// Paints frames with the painters' steps, but keeps as pixels what a frame
// shares with earlier ones (the panel's backdrop and rows, the page's
// gradient, the halo's area, the status card, the settings page) and copies
// it back: Wine's GDI+ fills each shape pixel by pixel in software, so these
// cost far more to draw than to copy. A picture is taken right after its
// part was drawn, over what always lies under it, so a copy holds exactly
// what drawing would give there (the window test compares with drawFrame).
class FramePainter {
  public:
    // The whole frame into the buffer.
    void paintFrame(BackBuffer& buffer, ConnectionState state);
    // Only the halo's area, into a buffer that holds the last frame, of this
    // state; for a window where haloAreaStandsAlone.
    void paintHaloArea(BackBuffer& buffer, ConnectionState state);

    DrawingKit kit;

  private:
    bool forgetOtherSizes(const BackBuffer& buffer); // true when it did
    bool gradientCovers();
    void paintRows(BackBuffer& buffer, const ElementTable& table);
    void paintHalo(BackBuffer& buffer, const ElementTable& table, ConnectionState state);
    template <class Draw>
    void paintKept(BackBuffer& buffer, KeptPictures& pictures, int key, const PixelBox& box,
                   Draw draw);

    SIZE size = {0, 0};
    int dpi = 0;           // the kept pictures' scale
    bool keeping = false;  // not the first frame at this size
    KeptPictures backdrop; // a cleared buffer with the panel's backdrop on it
    // Kept only when the gradient covers whatever lies under it (Wine fills
    // without smoothing); otherwise it is drawn in every frame, and so is
    // the settings page over it.
    SavedPixels pageBackground;
    int covers = -1;                            // not known yet
    std::shared_ptr<const LocationList> rowsOf; // the catalogue the rows show
    int rowsFirst = 0;                          // ... from this row at the top
    KeptPictures rows;                          // by index and look
    // The halo's area by its diameter, some twenty pictures, for one state.
    ConnectionState haloState = Disconnected;
    KeptPictures halo;
    KeptPictures card;     // by state
    KeptPictures settings; // the switches' one current look
};
