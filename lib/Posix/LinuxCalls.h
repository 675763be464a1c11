// Whether the POSIX layer uses the calls only Linux has (per-open-file
// locks, /proc, copy_file_range, sync_file_range, statx, CPU affinity).
// Elsewhere, and in a Linux build configured with NVXFIX_LINUX_CALLS=OFF,
// the portable ways serve.
#pragma once

#if defined(__linux__) && !defined(NVX_NO_LINUX_CALLS)
#define NVX_LINUX_CALLS 1
#else
#define NVX_LINUX_CALLS 0
#endif
