// SPDX-License-Identifier: Apache-2.0
// The kernel's own open-flag values.  The kernel header that defines them
// cannot share a translation unit with the C library's <fcntl.h>, whose
// O_LARGEFILE is 0 on 64-bit systems although F_GETFL reports the kernel's
// large-file bit (0100000 on x86-64, 0400000 on 64-bit ARM).
#include <asm/fcntl.h>

extern const int kAllowedOpenFlags = O_WRONLY | O_RDWR | O_CREAT | O_DIRECT | O_LARGEFILE;
