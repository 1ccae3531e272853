/*
 * Prints what Wine's version functions read from a list of files, for
 * check_version_roundtrip.py.
 *   wine_version_read LIST OUTPUT
 * LIST holds one Windows path a line. OUTPUT receives, per file:
 *   file PATH
 *   fixed 13 hex words of VS_FIXEDFILEINFO    (or "error WHY" and nothing more)
 *   translation LLLLCCCC ...                   (the pairs in file order)
 *   string LLLLCCCC KEY HEX                    (HEX: the ANSI bytes; "-" if absent)
 *   end
 * and last "acp N", the ANSI code page of the texts. Texts are printed as hex so that no code page conversion happens here.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static const char* const kKeys[] = {"CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                                    "OriginalFilename", "ProductName", "ProductVersion", "Comments"};

static void PrintFile(FILE* out, const char* path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    void* info = size ? malloc(size) : NULL;
    fprintf(out, "file %s\n", path);
    if (!info || !GetFileVersionInfoA(path, 0, size, info)) {
        fprintf(out, "error %lu\nend\n", (unsigned long)GetLastError());
        free(info);
        return;
    }

    DWORD* fixed = NULL;
    UINT length = 0;
    if (!VerQueryValueA(info, "\\", (void**)&fixed, &length) || length != sizeof(VS_FIXEDFILEINFO)) {
        fprintf(out, "error no-fixed-information\nend\n");
        free(info);
        return;
    }
    fprintf(out, "fixed");
    for (UINT i = 0; i < length / 4; ++i) fprintf(out, " %08lx", (unsigned long)fixed[i]);
    fprintf(out, "\n");

    WORD* pairs = NULL;
    UINT pairBytes = 0;
    if (!VerQueryValueA(info, "\\VarFileInfo\\Translation", (void**)&pairs, &pairBytes)) pairBytes = 0;
    fprintf(out, "translation");
    for (UINT i = 0; i + 1 < pairBytes / 2; i += 2) fprintf(out, " %04X%04X", pairs[i], pairs[i + 1]);
    fprintf(out, "\n");

    for (UINT i = 0; i + 1 < pairBytes / 2; i += 2) {
        for (size_t k = 0; k < sizeof kKeys / sizeof kKeys[0]; ++k) {
            char query[128];
            char* text = NULL;
            UINT chars = 0;
            snprintf(query, sizeof query, "\\StringFileInfo\\%04X%04X\\%s", pairs[i], pairs[i + 1], kKeys[k]);
            fprintf(out, "string %04X%04X %s ", pairs[i], pairs[i + 1], kKeys[k]);
            if (VerQueryValueA(info, query, (void**)&text, &chars) && text) {
                for (const unsigned char* c = (const unsigned char*)text; *c; ++c) fprintf(out, "%02x", *c);
                fprintf(out, "\n");
            } else {
                fprintf(out, "-\n");
            }
        }
    }
    fprintf(out, "end\n");
    free(info);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: wine_version_read LIST OUTPUT\n");
        return 2;
    }
    FILE* list = fopen(argv[1], "r");
    FILE* out = fopen(argv[2], "w");
    if (!list || !out) {
        fprintf(stderr, "wine_version_read: cannot open %s or %s\n", argv[1], argv[2]);
        return 2;
    }
    char line[4096];
    while (fgets(line, sizeof line, list)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (*line) PrintFile(out, line);
    }
    fprintf(out, "acp %u\n", GetACP());
    return fclose(out) == 0 && !ferror(list) ? 0 : 1;
}
