// libzentri: discovery and control of Zentri USB microscopes.
//
// The library keeps one process-wide device table; there are no handles. Call Init to enumerate
// the microscopes on USB, SelectDeviceNumber to pick one, then the request functions. Requests
// travel to the microscope's UVC extension unit either through the uvcvideo driver
// (UVCIOC_CTRL_QUERY on the matching /dev/videoN node, preferred) or as USB class control
// transfers through libusb.
//
// Conventions:
// - Functions returning int give 1 for success (or "true") and 0 for failure, unless stated.
// - Output pointers must be non-null unless stated; a null one makes the function return 0 at
//   once, without talking to the device. Outputs are written only on success unless stated.
// - With no device selected, every device function returns its failure value and leaves the
//   text of GetLastErrorString unchanged.
// - Each request runs under one process-wide lock, so requests from several threads are
//   serialised; a failed transfer is tried once more after a 25 ms pause.
// - GetDevicesCount, GetDeviceUniqueId and GetDeviceFriendlyName take no lock: do not call them
//   while another thread runs Init or Destroy.
#ifndef LIBZENTRI_ZENTRI_H_
#define LIBZENTRI_ZENTRI_H_

#include <stdint.h>
#include <wchar.h>

#if defined(__GNUC__)
#define ZENTRI_API __attribute__((visibility("default")))
#else
#define ZENTRI_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---- Enumeration and selection ----

// Enumerates the microscopes (USB 636c:9059 to 636c:905f), replacing any earlier table and
// closing the selected device. Creates the libusb context on first use. Returns 1 when the
// enumeration ran (even with no device found), 0 when libusb could not start or list devices.
ZENTRI_API int Init(void);

// Closes the selected device, empties the table and releases the libusb context.
ZENTRI_API void Destroy(void);

// Number of enumerated microscopes; 0 before Init.
ZENTRI_API int GetDevicesCount(void);

// "usb#vid_636c&pid_905a#<serial>" (the "#<serial>" part only when a serial is known) for the
// device at index; L"?" for an index out of range (negative included) or before Init. The string
// belongs to the library and stays valid until the next Init or Destroy.
ZENTRI_API const wchar_t* GetDeviceUniqueId(int index);

// "Smart Zentri Z<model>" (model 1 to 7 from the product id) for the device at index; L"?" as
// above. Same lifetime as GetDeviceUniqueId.
ZENTRI_API const wchar_t* GetDeviceFriendlyName(int index);

// Selects the device at index and opens its control transport: the matching V4L2 capture node
// when there is one, else the USB device through libusb. Returns 1 on success or when index is
// already selected, 0 when index is out of range (the selection stays) or no transport opens
// (then no device is selected, and GetLastErrorString says why: "Could not open Zentri control
// transport: permission denied on /dev/video0 and /dev/bus/usb/001/002 (...)" when this user may
// not open the microscope's nodes, which standard error repeats, else the libusb error).
ZENTRI_API int SelectDeviceNumber(int index);

// Text of the last transfer's failure (on any thread), or why the last selection opened no
// transport; empty after a successful transfer, and a selection that opens a transport clears a
// selection failure. Never null. The text is a copy for the calling thread, valid until that
// thread calls again.
ZENTRI_API const char* GetLastErrorString(void);

// ---- Generic property requests (10-byte property block, extension unit selector 0x11) ----

// Sends the query block {word0, word1, id & 0x0fff} and reads the reply block back. result0 and
// result1 receive the two reply words; either may be null.
ZENTRI_API int QueryExtensionProperty(int id, uint32_t word0, uint32_t word1, uint32_t* result0,
                                      uint32_t* result1);

// Query of id with both argument words 0. result1 may be null; result0 may not.
ZENTRI_API int GetExtensionProperty(uint16_t id, uint32_t* result0, uint32_t* result1);

// Sets property id to {word0, word1}.
ZENTRI_API int SetExtensionProperty(int id, uint32_t word0, uint32_t word1);

// Returns property id to its automatic or default behaviour.
ZENTRI_API int AutoExtensionProperty(int id, uint32_t word0, uint32_t word1);

// Asks the device to keep property id with {word0, word1} across power cycles.
ZENTRI_API int SaveExtensionProperty(int id, uint32_t word0, uint32_t word1);

// ---- Versions and status ----

// Interface version of this library: 0x30000. Needs no device.
ZENTRI_API int GetApiVersion(void);

// Product id, hardware and firmware versions (property 0x001).
ZENTRI_API int GetVersionInfo(uint16_t* productId, uint8_t* hardwareMajor, uint8_t* hardwareMinor,
                              uint16_t* softwareMajor, uint8_t* softwareMinor,
                              uint8_t* softwarePatch);

// Protocol version (property 0x002).
ZENTRI_API int GetProtocolVersionInfo(uint16_t* major, uint8_t* minor, uint8_t* patch);

// Production date as the device encodes it (property 0x004); 0 on failure.
ZENTRI_API int GetProductionDate(void);

// Raw status word (property 0x030); -1 on failure (indistinguishable from a word of all ones).
ZENTRI_API int GetScopeStatus(void);

// The status word split into bits 24-29 (topField), 16-23 (middleField) and 0-15 (lowField).
ZENTRI_API int GetScopeStatusInfo(uint8_t* middleField, uint8_t* topField, uint16_t* lowField);

// ---- Optics ----

// Micrometres per pixel and the image size it refers to (property 0x031). The three outputs are
// written whenever the device answers; the result is 1 only for a finite value above 0.
ZENTRI_API int GetPixelSizeInfo(float* micronsPerPixel, uint16_t* width, uint16_t* height);

// The value of GetPixelSizeInfo, or -1.0 when that fails.
ZENTRI_API float GetPixelSizeMicrons(void);

// Lens driver value and lens group (extension unit selector 0x08). The third pointer is unused
// and may be null.
ZENTRI_API int GetLensGroupInfo(uint16_t* lensDriver, uint8_t* lensGroup, void* reserved);

// 1 while the capture button is pressed, 0 when it is not or the device does not answer.
// Accepts devices that report the button state in one byte.
ZENTRI_API int IsCapturePressed(void);

// ---- Focus ----

// Starts one auto-focus run (property 0x010, else short request 0x25).
ZENTRI_API int TriggerAutoFocus(void);

// Focus position 0-255: the V4L2 absolute-focus control when the V4L2 transport is selected and
// answers, else property 0x011.
ZENTRI_API int GetFocusPosition(uint16_t* position);

// Moves the focus to position (below 256): through the V4L2 absolute-focus control when
// available (0 when the read-back differs), else property 0x011.
ZENTRI_API int SetFocusPosition(uint16_t position);

// One focus step towards near (property 0x012, else short request 0x28).
ZENTRI_API int FocusNearStep(void);

// One focus step towards far (property 0x013, else short request 0x29).
ZENTRI_API int FocusFarStep(void);

// ---- LED ----

// The LED state last set through this library (1 at load); the device is not asked. Needs no
// device.
ZENTRI_API int GetLedState(int* on);

// Switches the LED on (non-zero) or off (short requests 0x10 and 0x12).
ZENTRI_API int SetLedState(int on);

// ---- Image ----

// Mirror / flip mode 0-2 (property 0x070).
ZENTRI_API int GetMirrorFlipMode(uint8_t* mode);
ZENTRI_API int SetMirrorFlipMode(uint8_t mode);

// Image effect 0-23 (property 0x071).
ZENTRI_API int GetImageEffect(uint8_t* effect);
ZENTRI_API int SetImageEffect(uint8_t effect);

// Exposure limits (property 0x083). Set requires minimum <= maximum; Reset returns to automatic.
ZENTRI_API int GetExposureLimits(uint16_t* minimum, uint16_t* maximum);
ZENTRI_API int SetExposureLimits(uint16_t minimum, uint16_t maximum);
ZENTRI_API int ResetExposureLimits(void);

// Manual shutter 0-63 (property 0x085); Reset returns to automatic.
ZENTRI_API int GetManualShutter(uint32_t* value);
ZENTRI_API int SetManualShutter(uint32_t value);
ZENTRI_API int ResetManualShutter(void);

// Manual gain (property 0x086, no range check); Reset returns to automatic.
ZENTRI_API int GetManualGain(uint32_t* value);
ZENTRI_API int SetManualGain(int value);
ZENTRI_API int ResetManualGain(void);

// White balance gains, each 0-4095 (property 0x0a0); Reset returns to automatic.
ZENTRI_API int GetWhiteBalanceRgb(uint16_t* red, uint16_t* green, uint16_t* blue);
ZENTRI_API int SetWhiteBalanceRgb(uint16_t red, uint16_t green, uint16_t blue);
ZENTRI_API int ResetWhiteBalanceRgb(void);

// ---- Sensor registers ----

// 8-bit register access (property 0x200).
ZENTRI_API int ReadSensorRegister8(uint16_t address, uint8_t* value);
ZENTRI_API int WriteSensorRegister8(uint16_t address, uint8_t value);

// 32-bit register access (property 0x201).
ZENTRI_API int ReadSensorRegister32(uint32_t address, uint32_t* value);
ZENTRI_API int WriteSensorRegister32(uint32_t address, uint32_t value);

#ifdef __cplusplus
}  // extern "C"

// Sends the 4-byte short request {0, 0, 0, code} (extension unit selector 0x0d). Exported with its
// C++ name, SendRequest(unsigned char).
ZENTRI_API int SendRequest(uint8_t code);
#endif

#endif  // LIBZENTRI_ZENTRI_H_
