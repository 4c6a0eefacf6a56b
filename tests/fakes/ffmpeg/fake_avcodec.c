// Exports libavcodec's function names for the loader tests; only avcodec_version is called.
#ifndef FAKE_CODEC_MAJOR_OFFSET
#define FAKE_CODEC_MAJOR_OFFSET 0
#endif
unsigned avcodec_version(void) {
  return (unsigned)(FAKE_CODEC_MAJOR + FAKE_CODEC_MAJOR_OFFSET) << 16;
}
void avcodec_find_encoder_by_name(void) {}
void avcodec_find_encoder(void) {}
void avcodec_alloc_context3(void) {}
void avcodec_free_context(void) {}
void avcodec_open2(void) {}
void avcodec_parameters_from_context(void) {}
void avcodec_send_frame(void) {}
void avcodec_receive_packet(void) {}
void av_packet_alloc(void) {}
void av_packet_free(void) {}
void av_packet_unref(void) {}
void av_packet_rescale_ts(void) {}
void avcodec_parameters_copy(void) {}
