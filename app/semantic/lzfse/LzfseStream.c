#include "LzfseStream.h"

#include <stdlib.h>
#include <string.h>

#include "lzfse.h"
#include "lzfse_internal.h"

struct pallix_lzfse_stream {
  lzfse_decoder_state state;
};

size_t pallix_lzfse_encode_scratch_size(void) {
  return lzfse_encode_scratch_size();
}

size_t pallix_lzfse_encode_buffer(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size, void* scratch) {
  return lzfse_encode_buffer(dst, dst_size, src, src_size, scratch);
}

size_t pallix_lzfse_decode_buffer(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size) {
  return lzfse_decode_buffer(dst, dst_size, src, src_size, NULL);
}

pallix_lzfse_stream* pallix_lzfse_stream_create(void) {
  pallix_lzfse_stream* stream = calloc(1, sizeof(pallix_lzfse_stream));
  return stream;
}

void pallix_lzfse_stream_destroy(pallix_lzfse_stream* stream) {
  free(stream);
}

size_t pallix_lzfse_stream_state_size(void) {
  return sizeof(pallix_lzfse_stream);
}

int pallix_lzfse_stream_decode(pallix_lzfse_stream* stream, const uint8_t* src, size_t src_size, size_t* src_used,
                               uint8_t* dst_begin, uint8_t* dst, uint8_t* dst_end, size_t* dst_written) {
  lzfse_decoder_state* s = &stream->state;
  int status;
  /* The block states keep offsets relative to s->src, never pointers into
     the caller's buffers, so moving the unread input and the history
     between calls is safe. */
  s->src = src;
  s->src_begin = src;
  s->src_end = src + src_size;
  s->dst_begin = dst_begin;
  s->dst = dst;
  s->dst_end = dst_end;
  status = lzfse_decode(s);
  *src_used = (size_t)(s->src - src);
  *dst_written = (size_t)(s->dst - dst);
  switch (status) {
    case LZFSE_STATUS_OK:
      return s->end_of_stream ? PALLIX_LZFSE_STREAM_END : PALLIX_LZFSE_STREAM_NEED_INPUT;
    case LZFSE_STATUS_SRC_EMPTY:
      return PALLIX_LZFSE_STREAM_NEED_INPUT;
    case LZFSE_STATUS_DST_FULL:
      return PALLIX_LZFSE_STREAM_OUTPUT_FULL;
    default:
      return PALLIX_LZFSE_STREAM_ERROR;
  }
}
