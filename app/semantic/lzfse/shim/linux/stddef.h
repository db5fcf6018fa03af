/* User-space stand-in for the kernel header the LZFSE sources include. */
#ifndef PALLIX_LZFSE_SHIM_LINUX_STDDEF_H
#define PALLIX_LZFSE_SHIM_LINUX_STDDEF_H
#include <stddef.h>
#endif
