// Exports libavformat's function names for the loader tests; only avformat_version is called.
unsigned avformat_version(void) {
  return (unsigned)FAKE_FORMAT_MAJOR << 16;
}
void avformat_alloc_output_context2(void) {}
void avformat_new_stream(void) {}
void avformat_write_header(void) {}
void av_interleaved_write_frame(void) {}
void av_write_trailer(void) {}
void avformat_free_context(void) {}
void avio_open(void) {}
void avio_closep(void) {}
void av_write_frame(void) {}
void avio_flush(void) {}
void avformat_open_input(void) {}
void avformat_close_input(void) {}
void av_read_frame(void) {}
void avio_open2(void) {}
