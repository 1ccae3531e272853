/* Reads an icon group of PE files with the functions a Windows program uses
 * to show an icon, for check_pe32plus_programs.py. Built for 64-bit Windows.
 * Each file is loaded as a data file, so PE32 files are read as well.
 *
 *   wine_icon_check LIST OUTPUT
 *
 * LIST holds "<path>\t<group>" lines, the group "#<id>" or a name. OUTPUT
 * gets, per file:
 *   FILE <path>
 *   GROUP <image count>
 *   IMAGE <id> <width> <height> <colours> <planes> <bits> <bytes> <size> <crc32> <made width> <made height>
 *   DATA <the image's bytes in hex>      after each IMAGE whose bytes loaded
 *   LOOKUP <cx> <cy> <id>         LookupIconIdFromDirectoryEx's choice
 *   LOAD <width> <height>         LoadImage of the group at 32x32
 * with "FAIL <what> <error>" in place of a line that could not be made,
 * and "END" once every file is done. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define GROUP_ENTRY_SIZE 14

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

/* The size of an icon as made, from its colour bitmap, or from its mask,
 * which holds the AND and XOR halves of a monochrome icon. */
static BOOL IconSize(HICON icon, LONG *width, LONG *height)
{
    ICONINFO info;
    BITMAP bitmap;
    BOOL ok;
    memset(&bitmap, 0, sizeof bitmap);
    if (!GetIconInfo(icon, &info)) return FALSE;
    ok = GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap) == sizeof bitmap;
    *width = bitmap.bmWidth;
    *height = info.hbmColor ? bitmap.bmHeight : bitmap.bmHeight / 2;
    if (info.hbmColor) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return ok;
}

static const void *Resource(HMODULE module, LPCSTR name, LPCSTR type, DWORD *size, const char **failed)
{
    HRSRC found = FindResourceA(module, name, type);
    HGLOBAL loaded = found ? LoadResource(module, found) : NULL;
    const void *bytes = loaded ? LockResource(loaded) : NULL;
    *failed = !found ? "FindResource" : !bytes ? "LoadResource" : NULL;
    *size = found ? SizeofResource(module, found) : 0;
    return bytes;
}

static void CheckImage(HMODULE module, const BYTE *entry)
{
    WORD id = *(const WORD *)(entry + 12);
    int width = entry[0] ? entry[0] : 256, height = entry[1] ? entry[1] : 256;
    DWORD size;
    const char *failed;
    const BYTE *bits = Resource(module, MAKEINTRESOURCEA(id), (LPCSTR)RT_ICON, &size, &failed);
    HICON icon;
    LONG madeWidth, madeHeight;
    DWORD i;
    fprintf(out, "IMAGE %u %u %u %u %u %u %lu", (unsigned)id, (unsigned)entry[0], (unsigned)entry[1],
            (unsigned)entry[2], (unsigned)*(const WORD *)(entry + 4), (unsigned)*(const WORD *)(entry + 6),
            (unsigned long)*(const DWORD *)(entry + 8));
    if (!bits) {
        fprintf(out, " FAIL %s %lu\n", failed, (unsigned long)GetLastError());
        return;
    }
    fprintf(out, " %lu %08lx", (unsigned long)size, Crc32(bits, size));
    icon = CreateIconFromResourceEx((BYTE *)bits, size, TRUE, 0x00030000, width, height, LR_DEFAULTCOLOR);
    if (!icon || !IconSize(icon, &madeWidth, &madeHeight)) {
        fprintf(out, " FAIL CreateIconFromResourceEx %lu\n", (unsigned long)GetLastError());
    } else {
        fprintf(out, " %ld %ld\n", (long)madeWidth, (long)madeHeight);
    }
    if (icon) DestroyIcon(icon);
    fputs("DATA ", out);
    for (i = 0; i < size; ++i) fprintf(out, "%02x", (unsigned)bits[i]);
    fputc('\n', out);
}

static void CheckGroup(HMODULE module, LPCSTR group)
{
    static const int sizes[] = {16, 32, 48, 256};
    DWORD size;
    const char *failed;
    const BYTE *directory = Resource(module, group, (LPCSTR)RT_GROUP_ICON, &size, &failed);
    WORD count, i;
    HICON loaded;
    LONG width, height;
    if (!directory) {
        fprintf(out, "FAIL %s %lu\n", failed, (unsigned long)GetLastError());
        return;
    }
    count = size >= 6 ? *(const WORD *)(directory + 4) : 0;
    if (size < 6 || size < 6 + (DWORD)count * GROUP_ENTRY_SIZE) {
        fprintf(out, "FAIL group-size %lu\n", (unsigned long)size);
        return;
    }
    fprintf(out, "GROUP %u\n", (unsigned)count);
    for (i = 0; i < count; ++i) CheckImage(module, directory + 6 + i * GROUP_ENTRY_SIZE);
    for (i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        fprintf(out, "LOOKUP %d %d %d\n", sizes[i], sizes[i],
                LookupIconIdFromDirectoryEx((BYTE *)directory, TRUE, sizes[i], sizes[i], LR_DEFAULTCOLOR));
    }
    loaded = LoadImageA(module, group, IMAGE_ICON, 32, 32, 0);
    if (!loaded || !IconSize(loaded, &width, &height)) {
        fprintf(out, "FAIL LoadImage %lu\n", (unsigned long)GetLastError());
    } else {
        fprintf(out, "LOAD %ld %ld\n", (long)width, (long)height);
    }
    if (loaded) DestroyIcon(loaded);
}

int main(int argc, char **argv)
{
    char line[4096];
    FILE *list;
    if (argc != 3) {
        fputs("usage: wine_icon_check LIST OUTPUT\n", stderr);
        return 2;
    }
    list = fopen(argv[1], "r");
    out = fopen(argv[2], "wb");
    if (!list || !out) {
        fputs("wine_icon_check: cannot open the list or the output\n", stderr);
        return 2;
    }
    while (fgets(line, sizeof line, list)) {
        char *group = strchr(line, '\t');
        HMODULE module;
        line[strcspn(line, "\r\n")] = '\0';
        if (!group) continue;
        *group++ = '\0';
        fprintf(out, "FILE %s\n", line);
        module = LoadLibraryExA(line, NULL, LOAD_LIBRARY_AS_DATAFILE);
        if (!module) {
            fprintf(out, "FAIL LoadLibraryEx %lu\n", (unsigned long)GetLastError());
            continue;
        }
        /* "#12" names id 12 for FindResource, but LoadImage wants the id itself. */
        CheckGroup(module, group[0] == '#' ? MAKEINTRESOURCEA(atoi(group + 1)) : group);
        FreeLibrary(module);
    }
    fputs("END\n", out);
    return fclose(out) == 0 && fclose(list) == 0 ? 0 : 1;
}
