/* SPDX-License-Identifier: Apache-2.0 */
/*
 * libdgfile-simbind.so: libdgfile bound to the simulated driver, for a
 * process that loads libdgfile at run time (the Python package dgfile) and
 * so cannot put the driver stand-in ahead of the C library.
 *
 * It holds no code of its own: its needed libraries are libqrvd-sim.so, then
 * libdgfile.so.1.  Loaded with dlopen(RTLD_DEEPBIND), the libraries it
 * brings in look symbols up in its own dependency list before the process's,
 * so libdgfile's open(), close() and ioctl() reach the stand-in first.  The
 * runtimes must be loaded before it (they take their names for the process),
 * and libdgfile must not be loaded yet.  Sanitizer runtimes refuse deep
 * binding: there the stand-in is preloaded instead (LD_PRELOAD).
 * Installed with the simulated platform (component sim).
 */
void dgfile_simbind_placeholder(void);
void dgfile_simbind_placeholder(void) {}
