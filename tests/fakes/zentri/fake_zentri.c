// A stand-in for libzentri, for what the real library cannot show: a missing function, a call
// that hangs, an Init that fails, odd device names. Built several times with functions left out
// (see CMakeLists.txt). Behaviour is set from the environment:
//   FAKE_ZENTRI_INIT=0           Init fails
//   FAKE_ZENTRI_DEVICES=n        number of devices (default 2)
//   FAKE_ZENTRI_HANG=Name:ms     the first call of function Name sleeps ms milliseconds
//   FAKE_ZENTRI_LOG=path         every call appends its function name and a newline to path
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wchar.h>

#define FAKE_EXPORT __attribute__((visibility("default")))

static int g_initialized = 0;
static int g_selected = -1;
static uint16_t g_focus = 100;
static int g_hangDone = 0;

static void Sleep(long ms) {
  struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0) {
  }
}

// Logs the call and, for the one function named in FAKE_ZENTRI_HANG, hangs once.
static void Enter(const char* name) {
  const char* log = getenv("FAKE_ZENTRI_LOG");
  if (log != NULL) {
    FILE* file = fopen(log, "a");
    if (file != NULL) {
      fprintf(file, "%s\n", name);
      fclose(file);
    }
  }
  const char* hang = getenv("FAKE_ZENTRI_HANG");
  const char* colon = hang != NULL ? strchr(hang, ':') : NULL;
  if (colon != NULL && !g_hangDone && strlen(name) == (size_t)(colon - hang) &&
      strncmp(hang, name, (size_t)(colon - hang)) == 0) {
    g_hangDone = 1;
    Sleep(atol(colon + 1));
  }
}

static int DeviceCount(void) {
  const char* text = getenv("FAKE_ZENTRI_DEVICES");
  return text != NULL ? atoi(text) : 2;
}

FAKE_EXPORT int Init(void) {
  Enter("Init");
  const char* text = getenv("FAKE_ZENTRI_INIT");
  g_initialized = text == NULL || strcmp(text, "0") != 0;
  return g_initialized;
}

FAKE_EXPORT void Destroy(void) {
  Enter("Destroy");
  g_initialized = 0;
  g_selected = -1;
}

FAKE_EXPORT int GetDevicesCount(void) {
  Enter("GetDevicesCount");
  return g_initialized ? DeviceCount() : 0;
}

// Device 0 has a Latin-1 character and an emoji; device 1 a code point beyond Unicode.
FAKE_EXPORT const wchar_t* GetDeviceUniqueId(int index) {
  static const wchar_t first[] = {L'f', L'a', L'k', L'e', L'#', 0xB5, 0x1F52C, 0};
  static const wchar_t second[] = {L'f', L'a', L'k', L'e', L'#', 0x110000, 0};
  Enter("GetDeviceUniqueId");
  if (!g_initialized || index < 0 || index >= DeviceCount()) {
    return L"?";
  }
  return index == 0 ? first : index == 1 ? second : NULL;
}

FAKE_EXPORT const wchar_t* GetDeviceFriendlyName(int index) {
  Enter("GetDeviceFriendlyName");
  if (!g_initialized || index < 0 || index >= DeviceCount()) {
    return L"?";
  }
  return index == 0 ? L"Fake Zentri A" : L"Fake Zentri B";
}

FAKE_EXPORT int SelectDeviceNumber(int index) {
  Enter("SelectDeviceNumber");
  if (!g_initialized || index < 0 || index >= DeviceCount()) {
    return 0;
  }
  g_selected = index;
  return 1;
}

FAKE_EXPORT int GetScopeStatus(void) {
  Enter("GetScopeStatus");
  return g_selected >= 0 ? (10 << 16) | g_focus : -1;
}

#ifndef FAKE_ZENTRI_OMIT_PIXEL_MICRONS
FAKE_EXPORT float GetPixelSizeMicrons(void) {
  Enter("GetPixelSizeMicrons");
  return g_selected >= 0 ? 2.5f : -1.0f;
}
#endif

FAKE_EXPORT int IsCapturePressed(void) {
  Enter("IsCapturePressed");
  return 0;
}

#ifndef FAKE_ZENTRI_REQUIRED_ONLY

static int g_led = 1;

FAKE_EXPORT const char* GetLastErrorString(void) {
  return "fake transfer failed";
}

FAKE_EXPORT int GetApiVersion(void) {
  return 0x30001;
}

FAKE_EXPORT int GetVersionInfo(uint16_t* productId, uint8_t* hardwareMajor, uint8_t* hardwareMinor,
                               uint16_t* softwareMajor, uint8_t* softwareMinor,
                               uint8_t* softwarePatch) {
  Enter("GetVersionInfo");
  if (g_selected < 0) {
    return 0;
  }
  *productId = 0x905A;
  *hardwareMajor = 2;
  *hardwareMinor = 1;
  *softwareMajor = 7;
  *softwareMinor = 8;
  *softwarePatch = 9;
  return 1;
}

FAKE_EXPORT int GetProtocolVersionInfo(uint16_t* major, uint8_t* minor, uint8_t* patch) {
  Enter("GetProtocolVersionInfo");
  if (g_selected < 0) {
    return 0;
  }
  *major = 3;
  *minor = 4;
  *patch = 5;
  return 1;
}

FAKE_EXPORT int GetLensGroupInfo(uint16_t* lensDriver, uint8_t* lensGroup, void* reserved) {
  (void)reserved;
  Enter("GetLensGroupInfo");
  if (g_selected < 0) {
    return 0;
  }
  *lensDriver = 7;
  *lensGroup = 1;
  return 1;
}

#ifndef FAKE_ZENTRI_OMIT_AUTO_FOCUS
FAKE_EXPORT int TriggerAutoFocus(void) {
  Enter("TriggerAutoFocus");
  return g_selected >= 0;
}
#endif

FAKE_EXPORT int GetFocusPosition(uint16_t* position) {
  Enter("GetFocusPosition");
  if (g_selected < 0) {
    return 0;
  }
  *position = g_focus;
  return 1;
}

FAKE_EXPORT int SetFocusPosition(uint16_t position) {
  Enter("SetFocusPosition");
  if (g_selected < 0 || position >= 256) {
    return 0;
  }
  g_focus = position;
  return 1;
}

FAKE_EXPORT int FocusNearStep(void) {
  Enter("FocusNearStep");
  return g_selected >= 0;
}

FAKE_EXPORT int FocusFarStep(void) {
  Enter("FocusFarStep");
  return g_selected >= 0;
}

FAKE_EXPORT int GetLedState(int* on) {
  Enter("GetLedState");
  if (on == NULL) {
    return 0;
  }
  *on = g_led;
  return 1;
}

FAKE_EXPORT int SetLedState(int on) {
  Enter("SetLedState");
  if (g_selected < 0) {
    return 0;
  }
  g_led = on != 0;
  return 1;
}

#endif  // FAKE_ZENTRI_REQUIRED_ONLY
