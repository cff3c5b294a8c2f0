// The faces of the command bar's buttons: 16 by 16 pictures, 16 bits per pixel (5 red, 6 green,
// 5 blue), drawn in code so that their source lives with the rest.
#pragma once

#include <array>
#include <cstdint>

namespace vexmor::addin {

inline constexpr int kFaceSize = 16;
using Face = std::array<uint16_t, kFaceSize * kFaceSize>;

// The faces by the numbers the bar's controls name: 202 help, 203 about, 204 feedback,
// 205 not spam, 237 report spam. Any other number gives a blank face.
const Face& FaceById(int id);

}  // namespace vexmor::addin
