// Exports libavutil's function names for the loader tests; none of them is ever called except
// avutil_version.
unsigned avutil_version(void) {
  return (unsigned)FAKE_UTIL_MAJOR << 16;
}
void av_strerror(void) {}
void av_frame_alloc(void) {}
void av_frame_free(void) {}
void av_frame_get_buffer(void) {}
void av_frame_make_writable(void) {}
void av_dict_set(void) {}
void av_dict_free(void) {}
void av_opt_set(void) {}
void av_rescale_q(void) {}
void av_buffer_ref(void) {}
void av_buffer_unref(void) {}
void av_hwdevice_ctx_create(void) {}
void av_hwframe_ctx_alloc(void) {}
void av_hwframe_ctx_init(void) {}
void av_hwframe_get_buffer(void) {}
#ifndef FAKE_OMIT_HWFRAME_TRANSFER
void av_hwframe_transfer_data(void) {}
#endif
void av_log_get_level(void) {}
void av_log_set_level(void) {}
