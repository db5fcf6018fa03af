/* User-space stand-in for the kernel header the LZFSE sources include. */
#ifndef PALLIX_LZFSE_SHIM_LINUX_LIMITS_H
#define PALLIX_LZFSE_SHIM_LINUX_LIMITS_H
#include <limits.h>
#include <stdint.h>
#endif
