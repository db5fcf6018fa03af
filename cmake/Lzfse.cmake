# LZFSE: Apple's reference library, built from the sources that Debian's
# apfs-dkms package carries (scripts/setup.sh unpacks them into .deps/lzfse;
# they are never committed). The sources target the kernel, so a few
# user-space shim headers stand in for <linux/types.h>, <linux/slab.h> and
# friends. Third-party C compiles without our warning flags; our streaming
# wrapper (app/semantic/lzfse/LzfseStream.c) compiles with them.
set(PALLIX_LZFSE_DIR "${PROJECT_SOURCE_DIR}/.deps/lzfse/lzfse" CACHE PATH
    "Folder holding the LZFSE reference sources (lzfse.h, lzfse_decode_base.c, ...)")
if(NOT EXISTS "${PALLIX_LZFSE_DIR}/lzfse.h" OR NOT EXISTS "${PALLIX_LZFSE_DIR}/lzfse_internal.h")
  message(FATAL_ERROR
    "The LZFSE reference sources are missing from ${PALLIX_LZFSE_DIR}.\n"
    "Run scripts/setup.sh (or scripts/setup.sh --no-build): it downloads Debian's apfs-dkms package "
    "with 'apt-get download' and unpacks its lzfse/ folder there.")
endif()

set(_lzfse_shim "${PROJECT_SOURCE_DIR}/app/semantic/lzfse/shim")
add_library(pallix_lzfse_reference STATIC
  ${PALLIX_LZFSE_DIR}/lzfse_decode.c
  ${PALLIX_LZFSE_DIR}/lzfse_decode_base.c
  ${PALLIX_LZFSE_DIR}/lzfse_encode.c
  ${PALLIX_LZFSE_DIR}/lzfse_encode_base.c
  ${PALLIX_LZFSE_DIR}/lzfse_fse.c
  ${PALLIX_LZFSE_DIR}/lzvn_decode_base.c
  ${PALLIX_LZFSE_DIR}/lzvn_encode_base.c)
target_include_directories(pallix_lzfse_reference BEFORE PRIVATE ${_lzfse_shim})
target_include_directories(pallix_lzfse_reference PRIVATE ${PALLIX_LZFSE_DIR})
set_target_properties(pallix_lzfse_reference PROPERTIES C_STANDARD 11 POSITION_INDEPENDENT_CODE ON)
target_compile_options(pallix_lzfse_reference PRIVATE -w)
# The reference encoder's fse_init_encoder_table computes `nstates >> (k - 1)`
# for a symbol that holds every state (k = 0); the value is never used then,
# but UBSan aborts on the shift. That one check is off for the third-party code.
if(PALLIX_SANITIZE)
  target_compile_options(pallix_lzfse_reference PRIVATE -fno-sanitize=shift)
endif()

# Our C layer over the reference decoder state (streamed decoding). Its
# public header LzfseStream.h needs none of the kernel shims.
add_library(pallix_lzfse STATIC ${PROJECT_SOURCE_DIR}/app/semantic/lzfse/LzfseStream.c)
target_include_directories(pallix_lzfse BEFORE PRIVATE ${_lzfse_shim})
target_include_directories(pallix_lzfse SYSTEM PRIVATE ${PALLIX_LZFSE_DIR})
set_target_properties(pallix_lzfse PROPERTIES C_STANDARD 11 POSITION_INDEPENDENT_CODE ON)
target_link_libraries(pallix_lzfse PRIVATE pallix_options PUBLIC pallix_lzfse_reference)
