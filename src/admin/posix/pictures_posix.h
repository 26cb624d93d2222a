// tovladmin's pictures for the Linux dialogs, drawn at build time by
// make_pictures.py (the Windows build gets the same ones as resources).
#pragma once

namespace tovl {

constexpr int kLogoWidth = 160;
constexpr int kLogoHeight = 45;
constexpr int kIconSize = 48;

// Rows top to bottom, 3 bytes (R, G, B) a pixel.
extern const unsigned char kLogoRgb[kLogoWidth * kLogoHeight * 3];
// Rows top to bottom, 4 bytes (R, G, B, A) a pixel.
extern const unsigned char kIconRgba48[kIconSize * kIconSize * 4];

}  // namespace tovl
