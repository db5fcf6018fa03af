/* User-space stand-in for the kernel header the LZFSE sources include. */
#ifndef PALLIX_LZFSE_SHIM_LINUX_TYPES_H
#define PALLIX_LZFSE_SHIM_LINUX_TYPES_H
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#endif
