/*
 * libcnokhwa: camera capture for Linux desktops.
 *
 * Lists V4L2 capture devices and synthetic test cameras, streams from them on a capture thread
 * per device, and hands out the newest frame as packed 8-bit RGB (R, G, B per pixel, rows top to
 * bottom): when several frames wait in the driver's queue only the newest is converted, and
 * buffers the driver hands back empty or flagged as damaged, frames cut short and JPEG data that
 * does not decode never replace the frame before them. Every function may be called from any thread
 * at any time: grabs and geometry queries of one device may run on several threads while another
 * thread starts or stops capture.
 *
 * Devices are numbered from 0: on the first listing the V4L2 capture devices (in /dev/videoN
 * order; metadata-only nodes are skipped), then the synthetic cameras. The list is built on first
 * use and rebuilt by cnokhwa_initialize and cnokhwa_devices_count. A rebuild keeps every listed
 * device at its index while it is attached, and adds devices seen for the first time at the end.
 * A camera is recognised by its USB vendor, product and serial number (without a serial number,
 * by the USB port), never by its node number. A camera unplugged while it captures stays listed:
 * its queries answer CNOKHWA_ERR_DEVICE_LOST at once, and when it is plugged in again (the kernel
 * may give it another /dev/videoN) capture resumes by itself in the same format, answering
 * CNOKHWA_NOT_YET until its first frame. A device that vanished otherwise is dropped, unless a
 * device after it captures (so that no running capture's index moves).
 *
 * Synthetic cameras are switched on by the environment variable CNOKHWA_SYNTHETIC_CAMERAS, read
 * at every rebuild of the list: either a count ("2": that many 640x480 cameras at 30 frames per
 * second) or a comma-separated list of "WIDTHxHEIGHT" or "WIDTHxHEIGHT@FPS" entries ("1920x1080@30,
 * 640x480@15"). A synthetic camera that captures when a rebuild no longer finds it in the variable
 * stays listed as an unplugged camera does (CNOKHWA_ERR_DEVICE_LOST) until a rebuild finds it
 * again. A synthetic camera starts at any requested size up to 8192 x 8192 and draws frame
 * number n (1 for the first frame after a start, then 2, 3, ...) as a deterministic pattern:
 *   - rows 0 to band - 1, where band = max(1, height / 8): every pixel is
 *     (n & 255, (n >> 8) & 255, (n >> 16) & 255), so the frame number can be read from any pixel
 *     of the band, also after downscaling;
 *   - the rows below: pixel (x, y) is ((x + 4n) & 255, (y + 2n) & 255, (x + y + n) & 255), a
 *     gradient that moves with every frame.
 *
 * Result codes. Every function returning int gives a value >= 0 on success (0, or the count or
 * size asked for) and one of these negative codes on failure:
 */
#ifndef CNOKHWA_H
#define CNOKHWA_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(CNOKHWA_BUILDING)
#define CNOKHWA_API __attribute__((visibility("default")))
#else
#define CNOKHWA_API
#endif

/* Success; also "permitted" for cnokhwa_has_videocapture_auth and "a frame has arrived" for
 * cnokhwa_has_first_frame. */
#define CNOKHWA_OK 0
/* Not yet: capture runs but no frame has arrived since it started. */
#define CNOKHWA_NOT_YET (-256)
/* No device at this index (negative, past the end, or the device was unplugged and the list
 * rebuilt). */
#define CNOKHWA_ERR_BAD_INDEX (-2)
/* An argument is out of range: a null buffer, a size below 1, a format index past the device's
 * list, or a requested frame size beyond what the device can deliver. */
#define CNOKHWA_ERR_BAD_ARGUMENT (-3)
/* Capture is not running on this device. */
#define CNOKHWA_ERR_NOT_STARTED (-4)
/* The buffer passed to cnokhwa_grab_frame is larger than the current frame: the geometry changed
 * (the frame shrank) since the caller sized its buffer. Query the geometry again. */
#define CNOKHWA_ERR_GEOMETRY_CHANGED (-7)
/* The device could not be opened or configured (busy, no permission, or the driver refused the
 * format or the streaming set-up). */
#define CNOKHWA_ERR_OPEN_FAILED (-8)
/* The buffer passed to cnokhwa_grab_frame is smaller than the current frame (the geometry
 * changed, the frame grew). Query the geometry again. */
#define CNOKHWA_ERR_BUFFER_TOO_SMALL (-11)
/* The device stopped delivering while capturing (unplugged, or a driver error), or a start asked
 * for a device that is unplugged. Capture resumes by itself once the camera is back. */
#define CNOKHWA_ERR_DEVICE_LOST (-12)
/* The device offers no pixel format that the library can convert to RGB, or the chosen format is
 * not one of them. Converted are MJPEG and JPEG; the packed 4:2:2 layouts YUYV, UYVY, YVYU and
 * VYUY; NV12, NV21, YU12 (I420) and YV12; GREY and Y16 (monochrome); RGB24 and BGR24; and 8-bit
 * Bayer data in the orders BGGR, GBRG, GRBG and RGGB. Y'CbCr layouts follow the colour encoding
 * the driver reports (BT.601, BT.709, BT.2020 or SMPTE 240M; limited or full range), BT.601
 * limited range when it reports none. */
#define CNOKHWA_ERR_UNSUPPORTED_FORMAT (-14)
/* Memory for the frame buffers could not be allocated. */
#define CNOKHWA_ERR_NO_MEMORY (-15)

/* Builds the device list afresh. Returns CNOKHWA_OK, or CNOKHWA_ERR_NO_MEMORY. Calling it is
 * optional: every other function builds the list on first use. */
CNOKHWA_API int cnokhwa_initialize(void);

/* Capture needs no permission on Linux beyond access to the device nodes: always CNOKHWA_OK. */
CNOKHWA_API int cnokhwa_has_videocapture_auth(void);

/* Nothing to ask on Linux; does nothing. */
CNOKHWA_API void cnokhwa_ask_videocapture_auth(void);

/* Rebuilds the device list (so hot-plugged cameras appear) and returns the number of devices. */
CNOKHWA_API int cnokhwa_devices_count(void);

/* The three text queries write a NUL-terminated UTF-8 string into buf (at most size bytes,
 * including the NUL; a longer text is cut at a character boundary) and return CNOKHWA_OK, or
 * CNOKHWA_ERR_BAD_INDEX, or CNOKHWA_ERR_BAD_ARGUMENT for a null buf or a size below 1.
 *
 * Unique id: stable across replugging where the system gives one: the name of the device's
 * /dev/v4l/by-id link (maker, product and serial number), else the driver's bus location; for a
 * synthetic camera "synthetic-<k>" (k counts the synthetic cameras from 0). */
CNOKHWA_API int cnokhwa_device_unique_id(int index, void* buf, int size);

/* Model id: the USB vendor and product ids as "vvvv:pppp" (lower-case hex) when the device sits
 * on USB, else the driver's card name; "synthetic" for a synthetic camera. */
CNOKHWA_API int cnokhwa_device_model_id(int index, void* buf, int size);

/* Display name: the driver's card name; "Synthetic Camera <k>" for a synthetic camera. */
CNOKHWA_API int cnokhwa_device_name(int index, void* buf, int size);

/* Number of formats in the device's list: one entry per pixel format that capture can deliver
 * (see CNOKHWA_ERR_UNSUPPORTED_FORMAT; others, such as H.264, are not listed), frame size and
 * frame rate that the driver lists. A continuous or stepwise size range gives its smallest and
 * largest size and the common 4:3 and 16:9 sizes (640x480, 1280x720, 1920x1080, ...) on its
 * grid; a rate range its fastest and slowest rate. CNOKHWA_ERR_BAD_INDEX for a bad index. */
CNOKHWA_API int cnokhwa_device_formats_count(int index);

/* Width, height and frame rate (frames per second, rounded to a whole number; 0 when the driver
 * lists none) of one format. CNOKHWA_ERR_BAD_INDEX, or CNOKHWA_ERR_BAD_ARGUMENT for a bad format
 * index. */
CNOKHWA_API int cnokhwa_device_format_width(int index, int format);
CNOKHWA_API int cnokhwa_device_format_height(int index, int format);
CNOKHWA_API int cnokhwa_device_format_frame_rate(int index, int format);

/* Pixel format name of one format, written like the text queries above: "mjpeg" (MJPEG and
 * JPEG), "yuy2" (YUYV), "uyvy", "yvyu", "vyuy", "nv12", "nv21", "i420" (YU12), "yv12", "gray"
 * (GREY), "y16", "rgb" (RGB24), "bgr" (BGR24), "bggr", "gbrg", "grbg", "rggb" (8-bit Bayer),
 * "h264", or the driver's four-character code in lower case for others. Synthetic cameras list
 * "rgb". */
CNOKHWA_API int cnokhwa_device_format_type(int index, int format, void* buf, int size);

/* Starts capture (restarting it if it runs) at the frame size nearest to width x height among
 * the sizes the device lists, in the format with the highest frame rate at that size (an
 * uncompressed format wins a tie, so MJPEG is chosen where the camera needs it for the rate).
 * A width or height below 1 asks for the largest size. When an uncompressed format cannot stream
 * because the USB bus has no room left for it (the driver's ENOSPC), the MJPEG format at the same
 * size is used instead. A synthetic camera uses the requested size itself (its own size when
 * width or height is below 1). Returns CNOKHWA_OK once streaming has started; frames follow on
 * the device's capture thread. A start that fails leaves a running capture as it was (it keeps
 * delivering frames) and returns the failure: CNOKHWA_ERR_UNSUPPORTED_FORMAT,
 * CNOKHWA_ERR_DEVICE_LOST (unplugged), CNOKHWA_ERR_OPEN_FAILED (the driver refused), ... */
CNOKHWA_API int cnokhwa_start_capture(int index, int width, int height);

/* Starts capture in one format of the device's list (see cnokhwa_device_formats_count), with the
 * bandwidth fallback and the failure rules of cnokhwa_start_capture. CNOKHWA_ERR_BAD_ARGUMENT for
 * a bad format index. */
CNOKHWA_API int cnokhwa_start_capture_with_format(int index, int format);

/* Stops capture of one device, or of every device with index -1, and waits for the capture
 * threads to end. Stopping a device that does not capture succeeds. CNOKHWA_OK, or
 * CNOKHWA_ERR_BAD_INDEX. */
CNOKHWA_API int cnokhwa_stop_capture(int index);

/* CNOKHWA_OK once a frame has arrived since capture started, CNOKHWA_NOT_YET before,
 * CNOKHWA_ERR_NOT_STARTED, CNOKHWA_ERR_DEVICE_LOST or CNOKHWA_ERR_BAD_INDEX. */
CNOKHWA_API int cnokhwa_has_first_frame(int index);

/* Geometry of the newest frame: width and height in pixels, and the row stride in bytes (always
 * 3 x width: rows are packed). 0 while capture runs but no frame has arrived; otherwise the
 * codes of cnokhwa_has_first_frame. The geometry may change between frames (a restart, or an MJPEG
 * camera changing its frame size): size the grab buffer from these values and query again when
 * the grab reports CNOKHWA_ERR_BUFFER_TOO_SMALL or CNOKHWA_ERR_GEOMETRY_CHANGED. */
CNOKHWA_API int cnokhwa_frame_width(int index);
CNOKHWA_API int cnokhwa_frame_height(int index);
CNOKHWA_API int cnokhwa_frame_bytes_per_row(int index);

/* Copies the newest frame into buf as packed RGB, bytes_per_row x height bytes. size must equal
 * that frame size: CNOKHWA_ERR_BUFFER_TOO_SMALL when it is smaller, CNOKHWA_ERR_GEOMETRY_CHANGED
 * when it is larger (nothing is written in both cases). Returns CNOKHWA_OK, CNOKHWA_NOT_YET before
 * the first frame, CNOKHWA_ERR_BAD_ARGUMENT for a null buf or a size below 1, or the codes of
 * cnokhwa_has_first_frame. The same frame may be grabbed any number of times. */
CNOKHWA_API int cnokhwa_grab_frame(int index, void* buf, int size);

/* Reads the newest frame where it lies, without a copy: reader(context, frame, width, height,
 * bytes_per_row) is called with the packed RGB frame while the library holds it, so the frame
 * cannot change or be torn while the reader runs. The device's capture thread waits to publish
 * its next frame until the reader returns, and every other query of the same device waits too:
 * the reader must be quick (a decimation, a copy) and must not call the library. Returns
 * CNOKHWA_OK once the reader has run; otherwise the reader is not called and the result is
 * CNOKHWA_NOT_YET before the first frame, CNOKHWA_ERR_BAD_ARGUMENT for a null reader, or the
 * codes of cnokhwa_has_first_frame. */
typedef void (*cnokhwa_frame_reader)(void* context, const unsigned char* frame, int width,
                                     int height, int bytes_per_row);
CNOKHWA_API int cnokhwa_read_frame(int index, cnokhwa_frame_reader reader, void* context);

#ifdef __cplusplus
}
#endif

#endif /* CNOKHWA_H */
