/* LzfseStream: the C layer between Pallix and the LZFSE reference library.
 *
 * The reference library offers buffer-to-buffer calls only. Its decoder is
 * resumable, though: it stops when it needs more input or more room and
 * picks up where it left off. This layer exposes that state machine so the
 * C++ side (app/semantic/Lzfse.h) can decode a file through fixed buffers.
 * It is the only code that sees the library's internal header, which needs
 * the kernel shims in shim/linux/.
 *
 * Not thread-safe per stream; separate streams are independent. */
#ifndef PALLIX_LZFSE_STREAM_H
#define PALLIX_LZFSE_STREAM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The reference encoder and one-shot decoder (lzfse_encode_buffer and
 * lzfse_decode_buffer), unchanged. */
size_t pallix_lzfse_encode_scratch_size(void);
size_t pallix_lzfse_encode_buffer(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size, void* scratch);
size_t pallix_lzfse_decode_buffer(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size);

enum {
  PALLIX_LZFSE_STREAM_END = 0,         /* the end-of-stream block was read */
  PALLIX_LZFSE_STREAM_NEED_INPUT = 1,  /* present the unread input again, with more after it */
  PALLIX_LZFSE_STREAM_OUTPUT_FULL = 2, /* drain the output and call again */
  PALLIX_LZFSE_STREAM_ERROR = -1       /* the data is not a valid LZFSE stream */
};

typedef struct pallix_lzfse_stream pallix_lzfse_stream;

/* A decoder at the start of a stream; NULL when it cannot be allocated. */
pallix_lzfse_stream* pallix_lzfse_stream_create(void);
void pallix_lzfse_stream_destroy(pallix_lzfse_stream* stream);
/* Bytes of decoder state (the library's tables and literal buffer). */
size_t pallix_lzfse_stream_state_size(void);

/* Decodes input [src, src + src_size) into [dst, dst_end). Matches may
 * reach back to dst_begin (the history the caller kept in front of dst).
 * On return *src_used bytes of input were consumed for good (the rest must
 * be presented again at the next call) and *dst_written bytes were written
 * from dst on. */
int pallix_lzfse_stream_decode(pallix_lzfse_stream* stream, const uint8_t* src, size_t src_size, size_t* src_used,
                               uint8_t* dst_begin, uint8_t* dst, uint8_t* dst_end, size_t* dst_written);

#ifdef __cplusplus
}
#endif

#endif
