// The synthetic scene. The background is rendered once; each frame copies
// it and draws the moving objects and the counter on top, each clipped to
// the picture so that any size down to 1x1 works.
#include "vorc/encode/synthetic_scene.h"

#include <algorithm>

#include "vorc/core/exceptions.h"

namespace vorc {

namespace {

// 3x5 digit glyphs, one row of three bits per 3-bit group, top row first.
constexpr uint16_t DigitGlyphs[10] = {
    0b111'101'101'101'111, 0b010'110'010'010'111, 0b111'001'111'100'111, 0b111'001'111'001'111,
    0b101'101'111'001'001, 0b111'100'111'001'111, 0b111'100'111'101'111, 0b111'001'001'001'001,
    0b111'101'111'101'111, 0b111'101'111'001'111};
constexpr int CounterDigits = 4;

constexpr unsigned char BallColour[3] = {230, 190, 40};
constexpr unsigned char BoxColour[3] = {40, 90, 200};
constexpr unsigned char MarkerColour[3] = {210, 40, 60};
constexpr unsigned char CounterBackground[3] = {20, 20, 20};
constexpr unsigned char CounterInk[3] = {250, 250, 250};

// A cheap integer hash for the background's grain.
uint32_t hashOf(uint32_t x, uint32_t y) {
    uint32_t h = x * 374761393u + y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// Position along a track of length `travel` that bounces between its ends,
// moving `speed` pixels per frame.
int64_t bounce(uint32_t frame, int64_t speed, int64_t travel) {
    if (travel <= 0) return 0;
    const int64_t phase = (static_cast<int64_t>(frame) * speed) % (2 * travel);
    return phase <= travel ? phase : 2 * travel - phase;
}

unsigned char clampToByte(int value) { return static_cast<unsigned char>(std::clamp(value, 0, 255)); }

}  // namespace

SyntheticScene::SyntheticScene(int width, int height) : width_(width), height_(height) {
    if (width < 1 || width > 65535 || height < 1 || height > 65535) {
        throw vorc::InvalidArgument("vorc::SyntheticScene: width and height must be 1 to 65535 pixels");
    }
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    background_.resize(w * h * 3);
    // Gradients, a brick pattern and a little grain: texture that costs
    // bits in a full frame but stays still, so partial frames skip it.
    for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) {
            const bool mortar = y % 32 == 0 || (x + (y / 32 % 2) * 24) % 48 == 0;
            const int shade = (mortar ? -45 : 0) + static_cast<int>(hashOf(static_cast<uint32_t>(x), static_cast<uint32_t>(y)) % 13) - 6;
            unsigned char* pixel = &background_[(y * w + x) * 3];
            pixel[0] = clampToByte(static_cast<int>(70 + x * 110 / w) + shade);
            pixel[1] = clampToByte(static_cast<int>(90 + y * 90 / h) + shade);
            pixel[2] = clampToByte(static_cast<int>(110 + (x + y) * 60 / (w + h)) + shade);
        }
    }
}

void SyntheticScene::fillRectangle(int64_t left, int64_t top, int64_t width, int64_t height,
                                       const unsigned char* rgb) {
    const int64_t x0 = std::max<int64_t>(left, 0);
    const int64_t y0 = std::max<int64_t>(top, 0);
    const int64_t x1 = std::min<int64_t>(left + width, width_);
    const int64_t y1 = std::min<int64_t>(top + height, height_);
    for (int64_t y = y0; y < y1; ++y) {
        for (int64_t x = x0; x < x1; ++x) {
            std::copy(rgb, rgb + 3, &pixels_[static_cast<size_t>(y * width_ + x) * 3]);
        }
    }
}

void SyntheticScene::fillDisc(int64_t centreX, int64_t centreY, int64_t radius, const unsigned char* rgb) {
    const int64_t y0 = std::max<int64_t>(centreY - radius, 0);
    const int64_t y1 = std::min<int64_t>(centreY + radius + 1, height_);
    const int64_t x0 = std::max<int64_t>(centreX - radius, 0);
    const int64_t x1 = std::min<int64_t>(centreX + radius + 1, width_);
    for (int64_t y = y0; y < y1; ++y) {
        for (int64_t x = x0; x < x1; ++x) {
            const int64_t dx = x - centreX;
            const int64_t dy = y - centreY;
            if (dx * dx + dy * dy <= radius * radius) {
                std::copy(rgb, rgb + 3, &pixels_[static_cast<size_t>(y * width_ + x) * 3]);
            }
        }
    }
}

void SyntheticScene::drawCounter(uint32_t frame) {
    const int64_t scale = std::clamp<int64_t>(std::min(width_, height_) / 120, 1, 4);
    const int64_t margin = 2 * scale;
    const int64_t digitWidth = 4 * scale;  // three columns and a gap
    fillRectangle(margin, margin, CounterDigits * digitWidth + scale, 5 * scale + 2 * scale, CounterBackground);
    uint32_t value = frame;
    for (int digit = CounterDigits - 1; digit >= 0; --digit) {
        const uint16_t glyph = DigitGlyphs[value % 10];
        value /= 10;
        for (int row = 0; row < 5; ++row) {
            for (int column = 0; column < 3; ++column) {
                if ((glyph >> ((4 - row) * 3 + (2 - column)) & 1) == 0) continue;
                fillRectangle(margin + scale + digit * digitWidth + column * scale, margin + scale + row * scale,
                              scale, scale, CounterInk);
            }
        }
    }
}

const unsigned char* SyntheticScene::renderFrame(uint32_t frame) {
    pixels_ = background_;
    const int64_t w = width_;
    const int64_t h = height_;
    const int64_t shorter = std::min(w, h);

    // A large box drifting slowly along the diagonal.
    const int64_t boxWidth = std::max<int64_t>(w / 6, 1);
    const int64_t boxHeight = std::max<int64_t>(h / 8, 1);
    fillRectangle(bounce(frame, 1, w - boxWidth), h / 3 + bounce(frame, 1, h / 2 - boxHeight), boxWidth, boxHeight,
                  BoxColour);

    // A ball crossing the picture at a moderate speed.
    const int64_t radius = std::max<int64_t>(shorter / 12, 1);
    fillDisc(radius + bounce(frame, 3, w - 2 * radius), h - h / 4, radius, BallColour);

    // A small marker racing up and down near the right edge.
    const int64_t side = std::max<int64_t>(shorter / 16, 1);
    fillRectangle(w - w / 8, bounce(frame, 7, h - side), side, side, MarkerColour);

    // The tools count frames from 1, so the picture does too.
    drawCounter(frame + 1);
    return pixels_.data();
}

}  // namespace vorc
