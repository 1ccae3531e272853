/*
 * Loads VornUtils.dll at run time, as a host application does, and checks
 * its exports through cdecl function pointers declared from the public
 * header. Written in C so that the header is compiled as C as well.
 *
 * Usage: vornutils_win32_host DLL [GROUP|all [EXPORT...]]
 * The names after the group are the exports the DLL must have.
 */
#include <windows.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vornutils.h"

/* The calling convention is checked through the stack pointer. */
#if defined(__i386__)
#define READ_SP(value) __asm__ __volatile__("movl %%esp, %0" : "=r"(value) : : "memory")
#elif defined(__x86_64__)
#define READ_SP(value) __asm__ __volatile__("movq %%rsp, %0" : "=r"(value) : : "memory")
#else
#error "the host reads the stack pointer of x86 only"
#endif

typedef void (VORNUTILS_CDECL *Util11Fn)(int32_t*, int32_t*);
typedef void (VORNUTILS_CDECL *Util12Fn)(VornRect*, VornRect);
typedef void (VORNUTILS_CDECL *Util13Fn)(VornRect*, VornRect, int32_t, int32_t);
typedef int32_t (VORNUTILS_CDECL *Util14Fn)(VornRect, VornRect);
typedef int32_t (VORNUTILS_CDECL *Util21Fn)(const char*, const char*, int32_t, const char*);
typedef int32_t (VORNUTILS_CDECL *Util22Fn)(const char*, VersionInfoBlock*);
typedef int32_t (VORNUTILS_CDECL *Util23Fn)(const char*, const VersionInfoBlock*);
typedef void (*AnyFn)(void);

static const char* dllPath;
static HMODULE dll;
static const char* caseName;
static char** exportNames;
static int exportCount;
static int passed;
static int failed;

static int Check(int ok, const char* format, ...) {
    if (ok) {
        ++passed;
        return 1;
    }
    ++failed;
    va_list args;
    va_start(args, format);
    printf("FAIL %s: ", caseName);
    vprintf(format, args);
    printf("\n");
    va_end(args);
    return 0;
}

/* Through void (*)(void) so that no function-type cast warning hides a real one. */
static AnyFn Need(const char* name) {
    FARPROC address = GetProcAddress(dll, name);
    Check(address != NULL, "export %s not found", name);
    return (AnyFn)address;
}
#define NEED(type, name) ((type)Need(name))

/* The reference arithmetic: 32-bit two's complement, wrapping. */
static int32_t Add(int32_t a, int32_t b) { return (int32_t)((uint32_t)a + (uint32_t)b); }

static VornRect Rect(int32_t left, int32_t top, int32_t right, int32_t bottom) {
    VornRect rect = {left, top, right, bottom};
    return rect;
}

static int SameRect(VornRect a, VornRect b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

static VornRect RefNormalize(VornRect r) {
    if (r.left > r.right) r = Rect(Add(r.right, -1), r.top, Add(r.left, 1), r.bottom);
    if (r.top > r.bottom) r = Rect(r.left, Add(r.bottom, -1), r.right, Add(r.top, 1));
    return r;
}

static VornRect RefOffset(VornRect r, int32_t dx, int32_t dy) {
    return Rect(Add(r.left, dx), Add(r.top, dy), Add(r.right, dx), Add(r.bottom, dy));
}

static void CheckRect(const char* what, VornRect got, VornRect want) {
    Check(SameRect(got, want), "%s: got (%ld,%ld,%ld,%ld), want (%ld,%ld,%ld,%ld)", what, (long)got.left,
          (long)got.top, (long)got.right, (long)got.bottom, (long)want.left, (long)want.top, (long)want.right,
          (long)want.bottom);
}

static void CaseSwap(void) {
    Util11Fn swap = NEED(Util11Fn, "CUtil_11");
    if (!swap) return;
    int32_t a = 3, b = 7;
    swap(&a, &b);
    Check(a == 7 && b == 3, "(3,7) gave (%ld,%ld)", (long)a, (long)b);
    a = INT32_MIN;
    b = INT32_MAX;
    swap(&a, &b);
    Check(a == INT32_MAX && b == INT32_MIN, "extremes not exchanged");
    a = 42;
    swap(&a, &a);
    Check(a == 42, "one integer exchanged with itself gave %ld", (long)a);
}

static void CaseNormalize(void) {
    static const struct {
        const char* what;
        VornRect in, want;
    } cases[] = {
        {"reversed x", {10, 20, 5, 30}, {4, 20, 11, 30}},
        {"reversed y", {5, 8, 5, 2}, {5, 1, 5, 9}},
        {"reversed negative x", {-1, 0, -3, 0}, {-4, 0, 0, 0}},
        {"both reversed", {10, 30, 5, 20}, {4, 19, 11, 31}},
        {"empty", {0, 0, 0, 0}, {0, 0, 0, 0}},
        {"in order", {-7, 1, 3, 2}, {-7, 1, 3, 2}},
        {"wraps at the x extremes", {INT32_MAX, 0, INT32_MIN, 0}, {INT32_MAX, 0, INT32_MIN, 0}},
        {"wraps at the y extremes", {0, INT32_MAX, 0, INT32_MIN}, {0, INT32_MAX, 0, INT32_MIN}},
        {"wraps at one end", {INT32_MAX, 0, 0, 0}, {-1, 0, INT32_MIN, 0}},
    };
    Util12Fn normalize = NEED(Util12Fn, "CUtil_12");
    if (!normalize) return;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        /* Guards on both sides catch a write of the wrong size or place. */
        VornRect out[3] = {Rect(-9, -9, -9, -9), Rect(-9, -9, -9, -9), Rect(-9, -9, -9, -9)};
        normalize(&out[1], cases[i].in);
        CheckRect(cases[i].what, out[1], cases[i].want);
        Check(SameRect(out[0], Rect(-9, -9, -9, -9)) && SameRect(out[2], Rect(-9, -9, -9, -9)),
              "%s: wrote outside the result", cases[i].what);
    }
}

static void CaseOffset(void) {
    Util13Fn offset = NEED(Util13Fn, "CUtil_13");
    if (!offset) return;
    VornRect out[3] = {Rect(-9, -9, -9, -9), Rect(-9, -9, -9, -9), Rect(-9, -9, -9, -9)};
    offset(&out[1], Rect(1, 2, 3, 4), 10, -1);
    CheckRect("(1,2,3,4) by (10,-1)", out[1], Rect(11, 1, 13, 3));
    Check(SameRect(out[0], Rect(-9, -9, -9, -9)) && SameRect(out[2], Rect(-9, -9, -9, -9)),
          "wrote outside the result");
    offset(&out[1], Rect(INT32_MAX, INT32_MIN, -1, 0), 1, -1);
    CheckRect("wrapping", out[1], Rect(INT32_MIN, INT32_MAX, 0, -1));
    offset(&out[1], Rect(5, 6, 7, 8), 0, 0);
    CheckRect("zero offset", out[1], Rect(5, 6, 7, 8));
}

static void CaseEqual(void) {
    Util14Fn equal = NEED(Util14Fn, "CUtil_14");
    if (!equal) return;
    VornRect base = Rect(1, 2, 3, 4);
    int32_t result = equal(base, Rect(1, 2, 3, 4));
    Check(result == 1, "equal rectangles gave %ld", (long)result);
    for (int field = 0; field < 4; ++field) {
        VornRect other = base;
        int32_t* coordinate[4] = {&other.left, &other.top, &other.right, &other.bottom};
        *coordinate[field] = INT32_MIN;
        result = equal(base, other);
        Check(result == 0, "coordinate %d differs, gave %ld", field, (long)result);
        result = equal(other, base);
        Check(result == 0, "coordinate %d differs (swapped arguments), gave %ld", field, (long)result);
    }
}

static uint32_t NextRandom(uint32_t* state) {
    *state ^= *state << 13;
    *state ^= *state >> 17;
    *state ^= *state << 5;
    return *state;
}

/* Mostly arbitrary values, with the extremes often enough to matter. */
static int32_t RandomCoordinate(uint32_t* state) {
    static const int32_t special[] = {INT32_MIN, INT32_MAX, 0, -1, 1};
    uint32_t value = NextRandom(state);
    return (value & 7u) == 0 ? special[(value >> 3) % 5u] : (int32_t)NextRandom(state);
}

/*
 * Many calls in changing order, each compared with the host's reference.
 * Had the DLL popped its own arguments, the stack pointer of this frame
 * would differ after the loop (or the loop would crash first).
 */
static void CaseStackBalance(void) {
    Util11Fn swap = NEED(Util11Fn, "CUtil_11");
    Util12Fn normalize = NEED(Util12Fn, "CUtil_12");
    Util13Fn offset = NEED(Util13Fn, "CUtil_13");
    Util14Fn equal = NEED(Util14Fn, "CUtil_14");
    if (!swap || !normalize || !offset || !equal) return;
    uint32_t state = 0x9E3779B9u;
    long mismatches = 0, firstMismatch = -1;
    uintptr_t spBefore, spAfter;
    READ_SP(spBefore);
    for (long i = 0; i < 20000; ++i) {
        VornRect rect = Rect(RandomCoordinate(&state), RandomCoordinate(&state), RandomCoordinate(&state),
                             RandomCoordinate(&state));
        int32_t dx = RandomCoordinate(&state), dy = RandomCoordinate(&state);
        int32_t a = dx, b = dy;
        VornRect normalized, moved, other = (i % 3 == 0) ? rect : RefOffset(rect, (int32_t)(i % 2), 1);
        int ok = 1;
        switch (i % 4) { /* rotate the order of the calls */
        case 0:
            normalize(&normalized, rect);
            swap(&a, &b);
            ok &= equal(rect, other) == SameRect(rect, other);
            offset(&moved, rect, dx, dy);
            break;
        case 1:
            offset(&moved, rect, dx, dy);
            ok &= equal(rect, other) == SameRect(rect, other);
            normalize(&normalized, rect);
            swap(&a, &b);
            break;
        case 2:
            ok &= equal(rect, other) == SameRect(rect, other);
            swap(&a, &b);
            offset(&moved, rect, dx, dy);
            normalize(&normalized, rect);
            break;
        default:
            swap(&a, &b);
            normalize(&normalized, rect);
            offset(&moved, rect, dx, dy);
            ok &= equal(moved, RefOffset(rect, dx, dy)) == 1;
            break;
        }
        ok &= a == dy && b == dx && SameRect(normalized, RefNormalize(rect)) &&
              SameRect(moved, RefOffset(rect, dx, dy));
        if (!ok && mismatches++ == 0) firstMismatch = i;
    }
    READ_SP(spAfter);
    Check(mismatches == 0, "%ld of 20000 rounds differ from the reference, first at round %ld", mismatches,
          firstMismatch);
    Check(spBefore == spAfter, "stack pointer moved by %ld bytes", (long)(spAfter - spBefore));
}

static DWORD WINAPI IdleThread(LPVOID unused) {
    (void)unused;
    return 0;
}

/* Loading runs the entry point: it must succeed, and the DLL must really go on each free. */
static void CaseLoadCycles(void) {
    for (int cycle = 0; cycle < 4; ++cycle) {
        HMODULE module = LoadLibraryA(dllPath);
        if (!Check(module != NULL, "cycle %d: LoadLibraryA failed, error %lu", cycle, GetLastError())) return;
        HANDLE thread = CreateThread(NULL, 0, IdleThread, NULL, 0, NULL);
        if (Check(thread != NULL, "cycle %d: CreateThread failed", cycle)) {
            Check(WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0, "cycle %d: thread did not end", cycle);
            CloseHandle(thread);
        }
        Check(FreeLibrary(module) != 0, "cycle %d: FreeLibrary failed", cycle);
        Check(GetModuleHandleA(dllPath) == NULL, "cycle %d: still loaded after FreeLibrary", cycle);
    }
}

/* Every expected export under its plain name, none with cdecl or stdcall decoration. */
static void CaseUndecorated(void) {
    if (!Check(exportCount > 0, "no export names given")) return;
    for (int i = 0; i < exportCount; ++i) {
        const char* name = exportNames[i];
        char decorated[96];
        Need(name);
        snprintf(decorated, sizeof decorated, "_%s", name);
        Check(GetProcAddress(dll, decorated) == NULL, "decorated name %s is exported", decorated);
        for (int bytes = 0; bytes <= 64; bytes += 4) {
            snprintf(decorated, sizeof decorated, "%s@%d", name, bytes);
            Check(GetProcAddress(dll, decorated) == NULL, "decorated name %s is exported", decorated);
            snprintf(decorated, sizeof decorated, "_%s@%d", name, bytes);
            Check(GetProcAddress(dll, decorated) == NULL, "decorated name %s is exported", decorated);
        }
    }
}

/* A copy of a bundled sample (named by an environment variable) in the
 * temporary folder; the path is written to `copy`. */
static int CopySample(const char* variable, char* copy, size_t size) {
    const char* sample = getenv(variable);
    char folder[MAX_PATH];
    if (!Check(sample != NULL, "%s is not set", variable)) return 0;
    GetTempPathA(sizeof folder, folder);
    snprintf(copy, size, "%svornutils-%s-%lu.exe", folder, variable, GetCurrentProcessId());
    return Check(CopyFileA(sample, copy, FALSE) != 0, "cannot copy %s to %s", sample, copy);
}

/* Sets a text slot as the library fills one: zeros after the text. */
static void SetText(char* slot, const char* text) {
    memset(slot, 0, 256);
    strcpy(slot, text);
}

/* Wine's version functions read one string of the file's first table. */
static void CheckWineString(const void* info, const char* table, const char* key, const char* want) {
    char query[128];
    char* text = NULL;
    UINT length = 0;
    snprintf(query, sizeof query, "\\StringFileInfo\\%s\\%s", table, key);
    Check(VerQueryValueA(info, query, (void**)&text, &length) && strcmp(text, want) == 0,
          "%s reads '%s', want '%s'", query, text ? text : "(none)", want);
}

/* What Wine reads of a file that CUtil_23 wrote: the fixed information and
 * all six strings. */
static void CheckWineReadsBlock(const char* path, const VersionInfoBlock* block) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (!Check(size != 0, "GetFileVersionInfoSizeA(%s) failed", path)) return;
    void* info = malloc(size);
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    char table[16];
    if (Check(info && GetFileVersionInfoA(path, 0, size, info), "GetFileVersionInfoA failed") &&
        Check(VerQueryValueA(info, "\\", (void**)&fixed, &length) && length == sizeof *fixed, "no fixed information")) {
        Check(fixed->dwFileVersionMS == ((DWORD)block->versionMajor << 16 | block->versionMinor) &&
                  fixed->dwFileVersionLS == ((DWORD)block->versionRelease << 16 | block->versionBuild),
              "file version %08lx.%08lx", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
        snprintf(table, sizeof table, "%04X%04X", block->language, block->codePage);
        CheckWineString(info, table, "FileVersion", block->fileVersion);
        CheckWineString(info, table, "FileDescription", block->fileDescription);
        CheckWineString(info, table, "LegalCopyright", block->legalCopyright);
        CheckWineString(info, table, "CompanyName", block->companyName);
        CheckWineString(info, table, "Comments", block->comments);
        CheckWineString(info, table, "LegalTrademarks", block->legalTrademarks);
    }
    free(info);
}

static void CaseVersionRoundTrip(void) {
    Util22Fn query = NEED(Util22Fn, "CUtil_22");
    Util23Fn update = NEED(Util23Fn, "CUtil_23");
    char path[MAX_PATH];
    VersionInfoBlock block;
    if (!query || !update || !CopySample("VORNUTILS_SAMPLE", path, sizeof path)) return;

    memset(&block, 0xAB, sizeof block);
    if (Check(query(path, &block) == VornSuccess, "CUtil_22 failed")) {
        Check(block.versionMajor == 1 && block.versionMinor == 2 && block.versionRelease == 3 && block.versionBuild == 4,
              "version %u.%u.%u.%u", block.versionMajor, block.versionMinor, block.versionRelease, block.versionBuild);
        Check(block.language == 1033 && block.codePage == 1200, "pair %u/%u", block.language, block.codePage);
        Check(strcmp(block.fileDescription, "Sample program for VornUtils") == 0, "description '%s'", block.fileDescription);
        Check(block.comments[0] == 0 && block.comments[255] == 0, "comments not cleared");
    }

    /* Non-ASCII text goes through the ANSI code page both ways. */
    block.versionMajor = 5;
    block.versionBuild = 65535;
    SetText(block.fileDescription, "Described again");
    SetText(block.comments, "Written under Wine \xE9t\xE9");
    SetText(block.legalTrademarks, "None");
    SetText(block.fileVersion, "5.2.3.65535");
    if (Check(update(path, &block) == VornSuccess, "CUtil_23 failed")) CheckWineReadsBlock(path, &block);

    VersionInfoBlock again;
    Check(query(path, &again) == VornSuccess && memcmp(&again, &block, sizeof block) == 0,
          "CUtil_22 reads back something else");
    DeleteFileA(path);

    Check(query("", &block) == VornNotPeImage, "empty path");
    Check(query("Z:\\no\\such\\file.exe", &block) == VornNotPeImage, "missing file");
}

/* A file without version information gains it. */
static void CaseVersionAdded(void) {
    Util23Fn update = NEED(Util23Fn, "CUtil_23");
    Util22Fn query = NEED(Util22Fn, "CUtil_22");
    char path[MAX_PATH];
    VersionInfoBlock block;
    if (!query || !update || !CopySample("VORNUTILS_SAMPLE_NO_VERSION", path, sizeof path)) return;
    if (Check(query(path, &block) == VornSuccess, "CUtil_22 failed")) {
        Check(block.versionMajor == 1 && block.language == 1033 && block.codePage == 1252 &&
                  strcmp(block.fileVersion, "1.0.0.0") == 0,
              "default block %u %u/%u '%s'", block.versionMajor, block.language, block.codePage, block.fileVersion);
    }
    memset(&block, 0, sizeof block);
    block.versionMajor = 3;
    block.versionMinor = 1;
    block.language = 1031;
    block.codePage = 1252;
    SetText(block.fileVersion, "3.1.0.0");
    SetText(block.companyName, "VornUtils");
    SetText(block.fileDescription, "Given a version");
    SetText(block.legalCopyright, "(c) nobody");
    SetText(block.comments, "added");
    SetText(block.legalTrademarks, "-");
    if (Check(update(path, &block) == VornSuccess, "CUtil_23 failed")) CheckWineReadsBlock(path, &block);
    DeleteFileA(path);
}

static const BYTE* ModuleResource(HMODULE module, LPCSTR name, LPCSTR type, DWORD* size) {
    HRSRC found = FindResourceA(module, name, type);
    HGLOBAL loaded = found ? LoadResource(module, found) : NULL;
    *size = found ? SizeofResource(module, found) : 0;
    return loaded ? (const BYTE*)LockResource(loaded) : NULL;
}

static WORD U16(const BYTE* p) { return (WORD)(p[0] | p[1] << 8); }

/* Wine's loader and icon functions read the target's group 1: it lists
 * `count` images, all present, one of them the id LookupIconIdFromDirectoryEx
 * picks, each making an icon. With a source module, the entries but for the
 * ids and the images are those of its group `name`. */
static void CheckWineReadsIcons(const char* path, int count, HMODULE source, const char* name) {
    HMODULE target = LoadLibraryExA(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
    DWORD size = 0, sourceSize = 0;
    const BYTE* group = target ? ModuleResource(target, MAKEINTRESOURCEA(1), (LPCSTR)RT_GROUP_ICON, &size) : NULL;
    const BYTE* want = source ? ModuleResource(source, name, (LPCSTR)RT_GROUP_ICON, &sourceSize) : NULL;
    if (Check(group && size == (want ? sourceSize : 6 + 14u * count) && U16(group + 4) == count,
              "%s: group 1 is not of %d images", path, count)) {
        int picked = LookupIconIdFromDirectoryEx((PBYTE)group, TRUE, 32, 32, LR_DEFAULTCOLOR), listed = 0;
        for (int i = 0; i < count; ++i) {
            const BYTE* entry = group + 6 + 14 * i;
            DWORD imageSize = 0, wantSize = 0;
            const BYTE* image = ModuleResource(target, MAKEINTRESOURCEA(U16(entry + 12)), (LPCSTR)RT_ICON, &imageSize);
            listed |= U16(entry + 12) == picked;
            if (!Check(image != NULL, "image %d (id %u) not found", i, U16(entry + 12))) continue;
            if (want) {
                const BYTE* wanted =
                    ModuleResource(source, MAKEINTRESOURCEA(U16(want + 18 + 14 * i)), (LPCSTR)RT_ICON, &wantSize);
                Check(memcmp(entry, want + 6 + 14 * i, 12) == 0, "entry %d differs from the source's", i);
                Check(wanted && imageSize == wantSize && memcmp(image, wanted, imageSize) == 0, "image %d differs", i);
            }
            HICON icon = CreateIconFromResourceEx((PBYTE)image, imageSize, TRUE, 0x00030000, 0, 0, LR_DEFAULTCOLOR);
            Check(icon != NULL, "CreateIconFromResourceEx refuses image %d", i);
            if (icon) DestroyIcon(icon);
        }
        Check(listed, "LookupIconIdFromDirectoryEx picked %d, which the group does not list", picked);
    }
    if (target) FreeLibrary(target);
}

static void CaseIconFromFile(void) {
    Util21Fn replace = NEED(Util21Fn, "CUtil_21");
    const char* ico = getenv("VORNUTILS_SAMPLE_ICO");
    char path[MAX_PATH];
    if (!replace || !Check(ico != NULL, "VORNUTILS_SAMPLE_ICO is not set") ||
        !CopySample("VORNUTILS_SAMPLE", path, sizeof path))
        return;
    Check(replace(path, ico, 3, NULL) == VornBadSourceKind, "source kind 3");
    Check(replace(path, "Z:\\no\\such.ico", 1, NULL) == VornIconSourceNotFound, "missing .ico");
    /* sample.ico holds three images. */
    if (Check(replace(path, ico, 1, NULL) == VornSuccess, "CUtil_21 with %s failed", ico))
        CheckWineReadsIcons(path, 3, NULL, NULL);
    DeleteFileA(path);
}

static char groupNames[2][128]; /* the module's first and last icon group */

static BOOL CALLBACK NoteGroup(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR unused) {
    char text[128];
    (void)module, (void)type, (void)unused;
    if (IS_INTRESOURCE(name)) snprintf(text, sizeof text, "#%u", (unsigned)(ULONG_PTR)name);
    else snprintf(text, sizeof text, "%s", name);
    if (groupNames[0][0] == 0) strcpy(groupNames[0], text);
    strcpy(groupNames[1], text);
    return TRUE;
}

/* The corpus module the test found (else the sample program), by its first
 * group (a null name) and by its last, as Wine enumerates them. */
static void CaseIconFromModule(void) {
    Util21Fn replace = NEED(Util21Fn, "CUtil_21");
    const char* modulePath = getenv("VORNUTILS_ICON_MODULE");
    if (!modulePath) {
        printf("note: VORNUTILS_ICON_MODULE not set, the sample program is the module\n");
        modulePath = getenv("VORNUTILS_SAMPLE");
    }
    HMODULE module = modulePath ? LoadLibraryExA(modulePath, NULL, LOAD_LIBRARY_AS_DATAFILE) : NULL;
    if (!replace || !Check(module != NULL, "cannot load %s as data", modulePath ? modulePath : "(no module)")) return;
    memset(groupNames, 0, sizeof groupNames);
    EnumResourceNamesA(module, (LPCSTR)RT_GROUP_ICON, NoteGroup, 0);
    for (int which = 0; which < 2 && Check(groupNames[0][0] != 0, "%s has no icon group", modulePath); ++which) {
        const char* name = groupNames[which];
        char path[MAX_PATH];
        DWORD size = 0;
        const BYTE* group = ModuleResource(module, name, (LPCSTR)RT_GROUP_ICON, &size);
        if (!Check(group != NULL, "group %s not found", name) || !CopySample("VORNUTILS_SAMPLE", path, sizeof path))
            break;
        printf("note: group %s of %s, %u images\n", name, modulePath, U16(group + 4));
        if (Check(replace(path, modulePath, 2, which ? name : NULL) == VornSuccess, "CUtil_21 with %s failed", name))
            CheckWineReadsIcons(path, U16(group + 4), module, name);
        DeleteFileA(path);
    }
    FreeLibrary(module);
}

/* Later groups add their cases here. */
static const struct {
    const char* group;
    const char* name;
    int needsDll; /* loaded by main; cases that load it themselves set 0 */
    void (*run)(void);
} cases[] = {
    {"load", "load and free", 0, CaseLoadCycles},
    {"exports", "undecorated names", 1, CaseUndecorated},
    {"rect", "CUtil_11 exchange", 1, CaseSwap},
    {"rect", "CUtil_12 normalise", 1, CaseNormalize},
    {"rect", "CUtil_13 offset", 1, CaseOffset},
    {"rect", "CUtil_14 compare", 1, CaseEqual},
    {"rect", "stack balance", 1, CaseStackBalance},
    {"version", "CUtil_22 and CUtil_23 round trip", 1, CaseVersionRoundTrip},
    {"version", "CUtil_23 adds version information", 1, CaseVersionAdded},
    {"icon", "CUtil_21 with an .ico file", 1, CaseIconFromFile},
    {"icon", "CUtil_21 with a module's group", 1, CaseIconFromModule},
};

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DLL [GROUP|all [EXPORT...]]\n", argv[0]);
        return 2;
    }
    dllPath = argv[1];
    const char* group = argc > 2 ? argv[2] : "all";
    exportNames = argv + 3;
    exportCount = argc > 3 ? argc - 3 : 0;
    setvbuf(stdout, NULL, _IONBF, 0);

    int ran = 0;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        if (strcmp(group, "all") != 0 && strcmp(group, cases[i].group) != 0) continue;
        ++ran;
        caseName = cases[i].name;
        if (cases[i].needsDll) {
            dll = LoadLibraryA(dllPath);
            if (!Check(dll != NULL, "LoadLibraryA(%s) failed, error %lu", dllPath, GetLastError())) continue;
        }
        cases[i].run();
        if (cases[i].needsDll) {
            Check(FreeLibrary(dll) != 0, "FreeLibrary failed");
            dll = NULL;
        }
    }
    if (ran == 0) {
        fprintf(stderr, "no cases in group %s\n", group);
        return 2;
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
