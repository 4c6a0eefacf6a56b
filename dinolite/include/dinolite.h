/* libdinolite: the Dino-Lite SDK shim interface, as implemented by this project's simulator.
 *
 * A flat set of functions over one process-wide SDK state: initialise, enumerate the attached
 * microscopes, select one, then read its magnification (AMR), field of view and MicroTouch
 * button and set its LED mode. The functions are not meant to be called from several threads at
 * once; callers serialise them (the addon runs every call on one executor thread).
 *
 * The simulator's devices, readings, failures and delays come from a scenario file; see
 * README.md beside this folder.
 */
#ifndef DINOLITE_H
#define DINOLITE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(DINOLITE_BUILDING)
#define DINOLITE_API __attribute__((visibility("default")))
#else
#define DINOLITE_API
#endif

/* Initialises the SDK and (re)enumerates devices. A selected device that is still attached stays
 * selected. */
DINOLITE_API void dl_initialize(void);

/* Number of attached devices found by the last dl_initialize; indices run 0 to count - 1. */
DINOLITE_API int dl_devices_count(void);

/* Writes the device's unique id as a NUL-terminated string of at most `size` bytes (cut if
 * longer). An unknown index writes the empty string; a null buffer or a size of 0 writes nothing.
 */
DINOLITE_API void dl_get_device_unique_id(unsigned int index, void* buffer, unsigned int size);

/* The same for the device's display name. */
DINOLITE_API void dl_get_device_name(unsigned int index, void* buffer, unsigned int size);

/* Selects a device. False for an unknown index or when the device refuses (the reason, when the
 * scenario gives one, is in dl_get_last_error). */
DINOLITE_API bool dl_select_device(int index);

/* Index of the selected device, -1 for none. */
DINOLITE_API int dl_get_selected_device(void);

/* Releases the selected device; nothing when none is selected. */
DINOLITE_API void dl_unselect_device(void);

/* Whether the selected device reports its magnification; false when none is selected. */
DINOLITE_API bool dl_device_supports_amr(void);

/* Current magnification of the selected device; 0 when none is selected or it has no AMR. */
DINOLITE_API float dl_get_amr(void);

/* Number of magnification readings the selected device has delivered since it was selected. */
DINOLITE_API uint64_t dl_get_amr_update_count(void);

/* Horizontal field of view in micrometres at magnification `amr`; `selector` picks the sensor
 * mode (0 full width, 1 half width; others as 0). 0 when it is unknown (no device, amr <= 0). */
DINOLITE_API double dl_get_fovx(int selector, double amr);

/* Whether the selected device has the MicroTouch button; false when none is selected. */
DINOLITE_API bool dl_device_supports_microtouch(void);

/* True once for each press of the MicroTouch button since the last call. */
DINOLITE_API bool dl_microtouch_pressed(void);

/* Number of LED modes of the selected device; 0 when none is selected. */
DINOLITE_API unsigned int dl_led_mode_count(void);

/* LED mode number i of the selected device (0x11 all on, 0x22 flexible, 0x10 first group,
 * 0x01 second group, 0 off; others are device specific); 0 for an index out of range. */
DINOLITE_API int dl_led_mode(unsigned int i);

/* Applies an LED mode of the selected device. False when none is selected, the mode is not one
 * of its modes, or the device refuses. */
DINOLITE_API bool dl_set_led_state(int mode);

/* Post-connect initialisation of the selected device. False when none is selected or it fails. */
DINOLITE_API bool dl_initialize_selected_device(void);

/* Text of the last failure, "" when there is none. Owned by the library; valid until the next
 * call. */
DINOLITE_API const char* dl_get_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* DINOLITE_H */
