/* The one function that Keldrin's executable (keldrin.exe on Windows) and its shared
 * library (libkeldrin.so on POSIX) export for other programs: read one entry of a
 * PowerBuilder library as UTF-16 text.
 *
 * Usable from C and C++. Callers normally load the module at run time
 * (LoadLibrary/GetProcAddress, dlopen/dlsym) and call through RAZEV_ExportSourceEntryW_fn.
 *
 * Results:
 *    1  the entry was read: *source, *comment and *time are set
 *    0  no entry of that name (or its lookup failed): nothing is set
 *   -1  no library manager could be made: nothing is set
 *   -2  the file cannot be opened or is not a PowerBuilder library: nothing is set
 *   -4  the entry's data cannot be read, or its stored sizes are impossible: *time is set
 *   -5  an ANSI library's entry cannot be converted to UTF-16: *time is set
 *
 * *source receives the entry's text after its comment and *comment the comment, both
 * UTF-16 ending with a zero character (an entry without comment gives an empty text).
 * They point into buffers that belong to Keldrin: never free them; they stay valid until
 * the next call, which reuses them. Calls must not overlap (no lock is taken).
 * While it reads, the call holds a shared lock on the library file, so no other program
 * changes it meanwhile; it waits at most 10 seconds for one that is changing it, then
 * gives -2.
 * `time` may be null; it receives the entry's modification time in seconds since
 * 1970-01-01 UTC. A null libraryPath gives -2, a null entryName 0, and a null source or
 * comment -4 before anything is read.
 */
#ifndef KELDRIN_EXPORT_H
#define KELDRIN_EXPORT_H

#include <stdint.h>
#if !defined(__cplusplus)
#include <uchar.h> /* char16_t */
#endif

#if defined(_WIN32)
#define KELDRIN_CALL __stdcall
#else
#define KELDRIN_CALL
#endif

/* Set when compiling Keldrin itself, so the definition is marked for export. On Windows
   keldrin.exe's module-definition file names the exports instead (the decorated name at
   ordinal 1 and the plain name), so no third spelling is added. */
#if defined(KELDRIN_BUILDING_EXPORT) && !defined(_WIN32)
#define KELDRIN_EXPORT_API __attribute__((visibility("default")))
#else
#define KELDRIN_EXPORT_API
#endif

#define KELDRIN_EXPORT_READ 1
#define KELDRIN_EXPORT_NO_ENTRY 0
#define KELDRIN_EXPORT_NO_MANAGER (-1)
#define KELDRIN_EXPORT_NO_LIBRARY (-2)
#define KELDRIN_EXPORT_UNREADABLE (-4)
#define KELDRIN_EXPORT_UNCONVERTIBLE (-5)

#ifdef __cplusplus
extern "C" {
#endif

KELDRIN_EXPORT_API int32_t KELDRIN_CALL RAZEV_ExportSourceEntryW(const char16_t* libraryPath,
                                                                 const char16_t* entryName,
                                                                 unsigned char** source,
                                                                 unsigned char** comment,
                                                                 int32_t* time);

typedef int32_t(KELDRIN_CALL* RAZEV_ExportSourceEntryW_fn)(const char16_t* libraryPath,
                                                           const char16_t* entryName,
                                                           unsigned char** source,
                                                           unsigned char** comment, int32_t* time);

#ifdef __cplusplus
}
#endif

#endif /* KELDRIN_EXPORT_H */
