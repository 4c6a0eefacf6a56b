// Pixel layout codes shared by the camera frame code and the video recorder.
#pragma once

#include <cstdint>

namespace zentri_native {

enum class VideoPixelFormat : int32_t {
  Rgb = 0,    // packed R,G,B (not recordable)
  Bgra = 1,   // packed B,G,R,A
  Nv12 = 2,   // Y plane, then interleaved Cb,Cr plane at half resolution
  Yuy2 = 3,   // packed 4:2:2, Y0,Cb,Y1,Cr per pixel pair
  Mjpeg = 4,  // compressed (not recordable)
  Rgba = 5,   // packed R,G,B,A
  I420 = 6,   // three planes Y, Cb, Cr; chroma half width and half height; limited range
  Uyvy = 7,   // packed 4:2:2, Cb,Y0,Cr,Y1 per pixel pair
  // As I420, but full-range (JPEG) levels with the BT.601 matrix, as JPEG decoding produces.
  // Only the recorder knows this layout; scripts have no name for it.
  I420FullRange = 8,
};

}  // namespace zentri_native
