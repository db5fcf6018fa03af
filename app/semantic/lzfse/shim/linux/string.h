/* User-space stand-in for the kernel header the LZFSE sources include. */
#ifndef PALLIX_LZFSE_SHIM_LINUX_STRING_H
#define PALLIX_LZFSE_SHIM_LINUX_STRING_H
#include <string.h>
#endif
