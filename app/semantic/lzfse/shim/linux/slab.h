/* User-space stand-in for the kernel allocator the LZFSE decoder calls. */
#ifndef PALLIX_LZFSE_SHIM_LINUX_SLAB_H
#define PALLIX_LZFSE_SHIM_LINUX_SLAB_H
#include <stdlib.h>
#define GFP_KERNEL 0
#define kmalloc(size, flags) malloc(size)
#define kfree(pointer) free(pointer)
#endif
