/* Lists every resource of PE files the way Windows sees them: each file is
 * loaded as a data file and walked with the enumeration functions, and each
 * resource found, loaded and sized by itself. Built for 64-bit Windows, as
 * only 64-bit Wine runs here; it still maps PE32 files as data.
 *
 *   wine_map_check LIST OUTPUT
 *
 * LIST holds one path a line. OUTPUT gets, per file, "FILE <path>", then
 * "RES <type> <name> <language> <size> <crc32>" per resource (a number is
 * "#<id>", a string "$<UTF-16 units in hex>"), or "FAIL <what> <error>", and
 * "END" once every file is done. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static FILE *out;

static unsigned long Crc32(const unsigned char *bytes, DWORD size)
{
    unsigned long crc = 0xFFFFFFFFUL;
    DWORD i;
    int bit;
    for (i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320UL & (0UL - (crc & 1)));
    }
    return crc ^ 0xFFFFFFFFUL;
}

static void PutName(LPCWSTR name)
{
    if (IS_INTRESOURCE(name)) {
        fprintf(out, " #%u", (unsigned)(ULONG_PTR)name);
        return;
    }
    fputs(" $", out);
    for (; *name; ++name) fprintf(out, "%04x", (unsigned)*name);
}

static BOOL CALLBACK OnLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR unused)
{
    HRSRC found = FindResourceExW(module, type, name, language);
    HGLOBAL loaded = found ? LoadResource(module, found) : NULL;
    const unsigned char *bytes = loaded ? LockResource(loaded) : NULL;
    DWORD size = found ? SizeofResource(module, found) : 0;
    (void)unused;
    fputs("RES", out);
    PutName(type);
    PutName(name);
    if (!bytes) {
        fprintf(out, " %u FAIL %s %lu\n", (unsigned)language, found ? "LoadResource" : "FindResourceEx",
                (unsigned long)GetLastError());
        return TRUE;
    }
    fprintf(out, " %u %lu %08lx\n", (unsigned)language, (unsigned long)size, Crc32(bytes, size));
    return TRUE;
}

static BOOL CALLBACK OnName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR unused)
{
    (void)unused;
    if (!EnumResourceLanguagesW(module, type, name, OnLanguage, 0))
        fprintf(out, "FAIL EnumResourceLanguages %lu\n", (unsigned long)GetLastError());
    return TRUE;
}

static BOOL CALLBACK OnType(HMODULE module, LPWSTR type, LONG_PTR unused)
{
    (void)unused;
    if (!EnumResourceNamesW(module, type, OnName, 0))
        fprintf(out, "FAIL EnumResourceNames %lu\n", (unsigned long)GetLastError());
    return TRUE;
}

int main(int argc, char **argv)
{
    char path[4096];
    FILE *list;
    if (argc != 3) {
        fputs("usage: wine_map_check LIST OUTPUT\n", stderr);
        return 2;
    }
    list = fopen(argv[1], "r");
    out = fopen(argv[2], "wb");
    if (!list || !out) {
        fputs("wine_map_check: cannot open the list or the output\n", stderr);
        return 2;
    }
    while (fgets(path, sizeof path, list)) {
        HMODULE module;
        path[strcspn(path, "\r\n")] = '\0';
        if (!path[0]) continue;
        fprintf(out, "FILE %s\n", path);
        module = LoadLibraryExA(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
        if (!module) {
            fprintf(out, "FAIL LoadLibraryEx %lu\n", (unsigned long)GetLastError());
            continue;
        }
        if (!EnumResourceTypesW(module, OnType, 0))
            fprintf(out, "FAIL EnumResourceTypes %lu\n", (unsigned long)GetLastError());
        FreeLibrary(module);
    }
    fputs("END\n", out);
    return fclose(out) == 0 && fclose(list) == 0 ? 0 : 1;
}
