/*
 * VornUtils: edits the resources of PE32 files on disk.
 *
 * The public C interface of VornUtils.dll (32-bit Windows) and of
 * libvornutils.so (Linux). Every export uses the cdecl calling convention;
 * hosts that load the library at run time declare their function pointers
 * with VORNUTILS_CDECL, exactly as below.
 *
 * Rules for hosts:
 *  - Call the exports from one thread, one call at a time, and never from a
 *    window procedure that runs while a call is pumping messages.
 *  - Paths and group names are NUL-terminated strings in the ANSI code page
 *    of the process (UTF-8 on Linux).
 *  - The file exports open the file, do their whole job and close it again
 *    before they return. A file export that fails leaves the file as it was,
 *    unless the failure happens while the rewritten image is being written.
 *  - Files of 2 GiB (2^31 bytes) and more are refused with
 *    VornFileAccessFailed: every offset inside a PE32 image is 32 bits.
 *  - CUtil_21 and CUtil_23 refuse with VornBadResourceData, before anything
 *    is written, a file whose rewrite would overwrite more than its resource
 *    section (the section's file data lies inside the headers or shares
 *    bytes with another section) or whose FileAlignment is not a power of
 *    two up to 64 KiB, the largest the format allows.
 */
#ifndef VORNUTILS_H
#define VORNUTILS_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define VORNUTILS_CDECL __cdecl
#elif defined(__i386__)
#define VORNUTILS_CDECL __attribute__((cdecl))
#else
/* x86-64 and other targets have a single C calling convention. */
#define VORNUTILS_CDECL
#endif

#if defined(VORNUTILS_BUILDING) && !defined(_WIN32)
#define VORNUTILS_API __attribute__((visibility("default")))
#else
/* The DLL names its exports in a .def file; hosts need no attribute. */
#define VORNUTILS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes: 0 is success, every failure a small positive number. */
enum VornResultCode {
    VornSuccess = 0,
    VornSectionBuildFailed = 1,  /* the new resource section cannot be built */
    VornOutOfMemory = 2,
    VornNotPeImage = 3,          /* missing file, not a PE32 image, PE32+ */
    VornNoResourceSection = 4,
    VornFileAccessFailed = 5,    /* cannot open for the needed access, write failed,
                                    or the file is 2 GiB or larger */
    VornResourceBeforeCode = 6,  /* resource directory below BaseOfCode */
    VornNoIconGroup = 7,
    VornIconSourceNotFound = 8,
    VornNotIconGroup = 9,
    VornBadIconSource = 10,
    VornBadSourceKind = 11,
    VornNoVersionResource = 12,  /* internal only; never returned by an export */
    VornBadResourceData = 13,    /* the resource directory or data is malformed */
    VornBadVersionRecord = 14,
    VornBadVersionResource = 15,
    VornTextConversionFailed = 16
};

/* Four 32-bit signed integers: the layout of the Windows RECT. */
typedef struct VornRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
} VornRect;

/* Version information as CUtil_22 reports it and CUtil_23 takes it.
 * 1548 bytes, byte-packed, little-endian. Texts are NUL-terminated ANSI
 * strings of at most 255 bytes; a string the file lacks is empty. */
#pragma pack(push, 1)
typedef struct VersionInfoBlock {
    uint16_t versionMajor;   /* high word of the fixed file version MS */
    uint16_t versionMinor;   /* low word of the fixed file version MS */
    uint16_t versionRelease; /* high word of the fixed file version LS */
    uint16_t versionBuild;   /* low word of the fixed file version LS */
    uint16_t language;       /* first "Translation" pair */
    uint16_t codePage;
    char fileVersion[256];
    char fileDescription[256];
    char legalCopyright[256];
    char companyName[256];
    char comments[256];
    char legalTrademarks[256];
} VersionInfoBlock;
#pragma pack(pop)

#if defined(__cplusplus)
#define VORNUTILS_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VORNUTILS_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
VORNUTILS_STATIC_ASSERT(sizeof(VornRect) == 16, "VornRect is 16 bytes");
VORNUTILS_STATIC_ASSERT(sizeof(VersionInfoBlock) == 1548, "VersionInfoBlock is 1548 bytes");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, versionMinor) == 2, "versionMinor at 2");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, versionRelease) == 4, "versionRelease at 4");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, versionBuild) == 6, "versionBuild at 6");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, language) == 8, "language at 8");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, codePage) == 10, "codePage at 10");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, fileVersion) == 12, "fileVersion at 12");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, fileDescription) == 268, "fileDescription at 268");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, legalCopyright) == 524, "legalCopyright at 524");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, companyName) == 780, "companyName at 780");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, comments) == 1036, "comments at 1036");
VORNUTILS_STATIC_ASSERT(offsetof(VersionInfoBlock, legalTrademarks) == 1292, "legalTrademarks at 1292");
#undef VORNUTILS_STATIC_ASSERT

/* Exchanges *a and *b. */
VORNUTILS_API void VORNUTILS_CDECL CUtil_11(int32_t* a, int32_t* b);

/* Writes rect normalised to *result. An axis whose coordinates are reversed
 * is exchanged and widened by one unit at each end: (10,20,5,30) gives
 * (4,20,11,30). */
VORNUTILS_API void VORNUTILS_CDECL CUtil_12(VornRect* result, VornRect rect);

/* Writes rect moved by (dx, dy) to *result. Arithmetic wraps. */
VORNUTILS_API void VORNUTILS_CDECL CUtil_13(VornRect* result, VornRect rect, int32_t dx, int32_t dy);

/* 1 when all four coordinates are equal, else 0. */
VORNUTILS_API int32_t VORNUTILS_CDECL CUtil_14(VornRect a, VornRect b);

/* Replaces the main icon of targetPath: its first icon group in directory
 * order keeps its name and language, the images it listed are removed and
 * the source's images take the smallest free icon ids.
 * sourceKind 1: sourcePath is an .ico file (groupName is ignored);
 * 2: sourcePath is a module and groupName names its group ("#id" for a
 * numeric one), or is null for the module's first group. On Linux modules
 * are read by the library itself, PE32 and PE32+ alike; a language-neutral
 * group is taken first, then 1033, then the first language. The first group
 * is found by opening the module as a PE32 image, so a PE32+ module needs
 * groupName (with null it gives VornNotPeImage).
 * The target is checked first (3 to 6, 13), then the source (8, 10, 11),
 * then the target's group (7, 9). VornBadIconSource also covers an .ico
 * file whose directory or images lie outside the file and a module group
 * shorter than its count; an image whose group entry claims more bytes
 * than its RT_ICON resource holds is taken as the resource holds it.
 * VornNotIconGroup also covers a target group shorter than its count. */
VORNUTILS_API int32_t VORNUTILS_CDECL CUtil_21(const char* targetPath, const char* sourcePath,
                                               int32_t sourceKind, const char* groupName);

/* Reads the version information of path into *block; a file with resources
 * but no version information gives the default block (1.0.0.0, language
 * 1033, code page 1252). A null block gives VornBadVersionRecord. */
VORNUTILS_API int32_t VORNUTILS_CDECL CUtil_22(const char* path, VersionInfoBlock* block);

/* Writes the version information in *block into path: the four numbers
 * always, each text only when not empty, into the string table of the
 * block's language and code page (added when the file has none). Everything
 * else of the file's version information is kept, except that the fixed
 * part's flags mask is written equal to its flags. In a file with version
 * information in several languages, the first in directory order is the
 * one read and rewritten. VornBadVersionRecord: a null block, or a
 * version resource that would pass the format's 65535-byte block limit (the
 * file is then unchanged). */
VORNUTILS_API int32_t VORNUTILS_CDECL CUtil_23(const char* path, const VersionInfoBlock* block);

#ifdef __cplusplus
}
#endif

#endif /* VORNUTILS_H */
