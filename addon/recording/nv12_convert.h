// Frame validation and conversion to NV12, the one layout the H.264 encoders are fed: a
// full-resolution luma plane and a half-resolution interleaved Cb,Cr plane, limited range.
#pragma once

#include <cstdint>

#include "recording/video_recorder.h"

namespace zentri_native {

// True when the frame's format is recordable and every row that the conversion reads lies
// inside frame.data (sizes and offsets checked in 64 bits).
bool ValidateVideoFrame(const VideoRecorder::Frame& frame);

// Converts a valid frame into caller-owned planes: height rows of width luma bytes at yStride,
// and height / 2 rows of width / 2 Cb,Cr pairs at uvStride. False, with nothing written, for an
// invalid frame, a null plane, or a stride narrower than width.
bool ConvertFrameToNv12Planar(const VideoRecorder::Frame& frame, uint8_t* yPlane, int32_t yStride,
                              uint8_t* uvPlane, int32_t uvStride);

// The conversion's code paths. Scalar is the definition; the vector paths give identical bytes.
// ConvertFrameToNv12Planar uses the best path that the processor supports.
enum class Nv12Path : int32_t { Scalar = 0, Sse41 = 1, Avx2 = 2 };

bool Nv12PathSupported(Nv12Path path);
Nv12Path BestNv12Path();
const char* Nv12PathName(Nv12Path path);
// As ConvertFrameToNv12Planar, on the given path; false when the processor lacks it.
bool ConvertFrameToNv12PlanarWithPath(Nv12Path path, const VideoRecorder::Frame& frame,
                                      uint8_t* yPlane, int32_t yStride, uint8_t* uvPlane,
                                      int32_t uvStride);

}  // namespace zentri_native
