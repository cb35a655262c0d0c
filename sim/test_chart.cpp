#include "test_chart.h"

#include <cstring>

namespace sim {

bool PageSize(const std::string& name, uint32_t* width, uint32_t* length) {
  struct Page {
    const char* name;
    uint32_t width, length;
  };
  static const Page kPages[] = {{"a4", 9921, 14031}, {"a5", 6992, 9921}, {"a3", 14031, 19843}, {"letter", 10200, 13200}};
  for (const Page& page : kPages) {
    if (name == page.name) {
      *width = page.width;
      *length = page.length;
      return true;
    }
  }
  return false;
}


namespace {

constexpr Rgb kWhite{255, 255, 255}, kBlack{0, 0, 0};

// Colour bars in the order of a video test pattern.
constexpr Rgb kBars[] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                         {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};

// A 5 by 7 font for the chart's label, rows top down, bit 4 leftmost.
struct Glyph {
  char c;
  uint8_t rows[7];
};
constexpr Glyph kGlyphs[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}}, {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
};
constexpr char kLabel[] = "STILLSCSI TEST CHART";

bool LabelInk(uint32_t column, uint32_t row) {  // in font cells: 6 columns per character, 7 rows
  uint32_t character = column / 6, x = column % 6;
  if (character >= sizeof(kLabel) - 1 || x == 5 || row >= 7) return false;
  for (const Glyph& glyph : kGlyphs) {
    if (glyph.c == kLabel[character]) return (glyph.rows[row] >> (4 - x)) & 1;
  }
  return false;
}

uint8_t Gray(Rgb c) { return (uint8_t)((c.r * 299u + c.g * 587u + c.b * 114u) / 1000u); }

}  // namespace

TestChart::TestChart(uint32_t pageWidth, uint32_t pageLength) : width_(pageWidth), length_(pageLength) {}

// The page, top to bottom: colour bars, a grey wedge of 16 steps, vertical
// and horizontal line patterns of 50 to 300 lines per inch, the label, and
// a colour gradient; a thin frame round it all.
Rgb TestChart::At(uint32_t x, uint32_t y) const {
  if (x >= width_ || y >= length_) return kWhite;
  const uint32_t frame = kUnitsPerInch / 50;  // 0.5 mm
  if (x < frame || y < frame || x >= width_ - frame || y >= length_ - frame) return kBlack;
  uint64_t band = (uint64_t)y * 100 / length_;
  if (band < 14) return kBars[(uint64_t)x * 8 / width_];
  if (band < 24) {
    uint32_t step = (uint32_t)((uint64_t)x * 16 / width_);
    uint8_t level = (uint8_t)(step * 255 / 15);
    return {level, level, level};
  }
  if (band < 44) {
    // Four columns of pitches 1/50, 1/100, 1/200 and 1/300 inch: lines of
    // half the pitch, vertical above, horizontal below.
    static const uint32_t kPitch[] = {kUnitsPerInch / 50, kUnitsPerInch / 100, kUnitsPerInch / 200, kUnitsPerInch / 300};
    uint32_t pitch = kPitch[(uint64_t)x * 4 / width_];
    uint32_t along = band < 34 ? x : y;
    return along % pitch < pitch / 2 ? kBlack : kWhite;
  }
  if (band < 54) {
    // The label in cells of 1/20 inch, centred.
    const uint32_t cell = kUnitsPerInch / 20;
    uint32_t columns = (uint32_t)(sizeof(kLabel) - 1) * 6;
    uint32_t left = width_ > columns * cell ? (width_ - columns * cell) / 2 : 0;
    uint32_t top = (uint32_t)((uint64_t)length_ * 44 / 100) + cell;
    if (x >= left && y >= top && LabelInk((x - left) / cell, (y - top) / cell)) return kBlack;
    return kWhite;
  }
  return {(uint8_t)((uint64_t)x * 255 / width_), (uint8_t)((uint64_t)(y - length_ * 54 / 100) * 255 / length_ * 2),
          160};
}

void TestChart::RenderLine(const ScanWindow& window, uint32_t line, uint8_t* out) const {
  uint32_t pixels = window.PixelsPerLine();
  uint32_t y = window.upperLeftY + (uint32_t)(((uint64_t)line * kUnitsPerInch + kUnitsPerInch / 2) / window.yResolution);
  if (window.composition == ImageComposition::Lineart) std::memset(out, 0, window.BytesPerLine());
  for (uint32_t i = 0; i < pixels; ++i) {
    uint32_t x = window.upperLeftX + (uint32_t)(((uint64_t)i * kUnitsPerInch + kUnitsPerInch / 2) / window.xResolution);
    Rgb c = At(x, y);
    switch (window.composition) {
      case ImageComposition::Lineart:
        if (Gray(c) < 128) out[i / 8] |= (uint8_t)(0x80 >> (i % 8));
        break;
      case ImageComposition::Gray:
        out[i] = Gray(c);
        break;
      case ImageComposition::Colour:
        out[3 * i] = c.r;
        out[3 * i + 1] = c.g;
        out[3 * i + 2] = c.b;
        break;
    }
  }
}

std::vector<uint8_t> TestChart::Render(const ScanWindow& window) const {
  std::vector<uint8_t> image(window.ImageBytes());
  for (uint32_t line = 0; line < window.Lines(); ++line) {
    RenderLine(window, line, image.data() + (size_t)line * window.BytesPerLine());
  }
  return image;
}

}  // namespace sim
