// The page the simulated scanner scans: a deterministic test chart, defined
// at every point of the page, so that a scan at any resolution, area and
// mode can be rendered again and compared pixel for pixel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Page measurements are in the scanner command set's unit, 1/1200 inch.
inline constexpr uint32_t kUnitsPerInch = 1200;
inline constexpr uint32_t kA4Width = 9921;    // 210 mm
inline constexpr uint32_t kA4Length = 14031;  // 297 mm

// Page sizes by name (a4, a5, a3, letter), in 1/1200 inch; false when unknown.
bool PageSize(const std::string& name, uint32_t* width, uint32_t* length);

enum class ImageComposition : uint8_t { Lineart = 0, Gray = 2, Colour = 5 };

// One scan window, as SET WINDOW gives it.
struct ScanWindow {
  uint32_t xResolution = 150, yResolution = 150;  // dots per inch
  uint32_t upperLeftX = 0, upperLeftY = 0;        // 1/1200 inch
  uint32_t width = kA4Width, length = kA4Length;  // 1/1200 inch
  ImageComposition composition = ImageComposition::Colour;
  uint8_t bitsPerPixel = 24;

  uint32_t PixelsPerLine() const { return (uint32_t)((uint64_t)width * xResolution / kUnitsPerInch); }
  uint32_t Lines() const { return (uint32_t)((uint64_t)length * yResolution / kUnitsPerInch); }
  uint32_t BytesPerLine() const {
    uint32_t pixels = PixelsPerLine();
    return bitsPerPixel == 1 ? (pixels + 7) / 8 : pixels * (bitsPerPixel / 8);
  }
  uint64_t ImageBytes() const { return (uint64_t)BytesPerLine() * Lines(); }
};

struct Rgb {
  uint8_t r, g, b;
};

class TestChart {
 public:
  TestChart(uint32_t pageWidth = kA4Width, uint32_t pageLength = kA4Length);
  uint32_t PageWidth() const { return width_; }
  uint32_t PageLength() const { return length_; }

  // The colour at a point of the page (1/1200 inch from the upper left).
  Rgb At(uint32_t x, uint32_t y) const;
  // Line Line of the window's image, in the window's composition: lineart
  // packed 8 pixels a byte, leftmost in the top bit, 1 for black; grey 8
  // bits, 255 white; colour 24 bits red, green, blue.
  void RenderLine(const ScanWindow& window, uint32_t line, uint8_t* out) const;
  std::vector<uint8_t> Render(const ScanWindow& window) const;

 private:
  uint32_t width_, length_;
};

}  // namespace sim
