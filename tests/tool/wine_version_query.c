/*
 * What Wine's GetFileVersionInfoW and VerQueryValueW read, the way Explorer
 * asks: the Translation pairs, then each key through each pair.
 *   wine_version_query LIST OUTPUT
 * LIST is UTF-8, one request a line:
 *   file PATH      start a file (a Windows path)
 *   key NAME       query \StringFileInfo\<pair>\NAME for every pair
 *   query PATH     query PATH as given
 * OUTPUT, per file:
 *   file PATH
 *   fixed 13 hex words                         (or "error N" and nothing more)
 *   translation LLLLCCCC ...
 *   string LLLLCCCC NAME =HEX | -              (HEX: UTF-16 units, 4 digits each)
 *   query PATH =HEX | -
 *   end
 * Texts go out as hex so that nothing here converts them.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define MAX_KEYS 256

static WCHAR* Wide(const char* utf8) {
    int count = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, NULL, 0);
    WCHAR* wide = malloc(sizeof(WCHAR) * (count > 0 ? count : 1));
    if (count <= 0 || !MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, count)) wide[0] = 0;
    return wide;
}

static void PrintValue(FILE* out, void* info, const WCHAR* query) {
    WCHAR* text = NULL;
    UINT units = 0;
    if (!VerQueryValueW(info, query, (void**)&text, &units) || !text) {
        fprintf(out, "-\n");
        return;
    }
    fprintf(out, "=");
    // The count may or may not include the NUL; the text ends at it either way.
    for (UINT i = 0; i < units && text[i]; ++i) fprintf(out, "%04x", text[i]);
    fprintf(out, "\n");
}

struct Request {
    char* path;
    char* keys[MAX_KEYS];
    int keyCount;
    char* queries[MAX_KEYS];
    int queryCount;
};

static void Run(FILE* out, const struct Request* r) {
    WCHAR* path = Wide(r->path);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    void* info = size ? malloc(size) : NULL;
    fprintf(out, "file %s\n", r->path);
    if (!info || !GetFileVersionInfoW(path, 0, size, info)) {
        fprintf(out, "error %lu\nend\n", (unsigned long)GetLastError());
        free(info);
        free(path);
        return;
    }
    DWORD* fixed = NULL;
    UINT length = 0;
    if (VerQueryValueW(info, L"\\", (void**)&fixed, &length) && length == sizeof(VS_FIXEDFILEINFO)) {
        fprintf(out, "fixed");
        for (UINT i = 0; i < length / 4; ++i) fprintf(out, " %08lx", (unsigned long)fixed[i]);
        fprintf(out, "\n");
    } else {
        fprintf(out, "fixed -\n");
    }
    WORD* pairs = NULL;
    UINT pairBytes = 0;
    if (!VerQueryValueW(info, L"\\VarFileInfo\\Translation", (void**)&pairs, &pairBytes)) pairBytes = 0;
    fprintf(out, "translation");
    for (UINT i = 0; i + 1 < pairBytes / 2; i += 2) fprintf(out, " %04X%04X", pairs[i], pairs[i + 1]);
    fprintf(out, "\n");
    for (UINT i = 0; i + 1 < pairBytes / 2; i += 2) {
        for (int k = 0; k < r->keyCount; ++k) {
            WCHAR* key = Wide(r->keys[k]);
            WCHAR query[1024];
            _snwprintf(query, 1024, L"\\StringFileInfo\\%04X%04X\\%ls", pairs[i], pairs[i + 1], key);
            query[1023] = 0;
            fprintf(out, "string %04X%04X %s ", pairs[i], pairs[i + 1], r->keys[k]);
            PrintValue(out, info, query);
            free(key);
        }
    }
    for (int q = 0; q < r->queryCount; ++q) {
        WCHAR* query = Wide(r->queries[q]);
        fprintf(out, "query %s ", r->queries[q]);
        PrintValue(out, info, query);
        free(query);
    }
    fprintf(out, "end\n");
    free(info);
    free(path);
}

static void Clear(struct Request* r) {
    free(r->path);
    for (int i = 0; i < r->keyCount; ++i) free(r->keys[i]);
    for (int i = 0; i < r->queryCount; ++i) free(r->queries[i]);
    memset(r, 0, sizeof *r);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: wine_version_query LIST OUTPUT\n");
        return 2;
    }
    FILE* list = fopen(argv[1], "rb");
    FILE* out = fopen(argv[2], "wb");
    if (!list || !out) {
        fprintf(stderr, "wine_version_query: cannot open %s or %s\n", argv[1], argv[2]);
        return 2;
    }
    static char line[65536];
    struct Request r = {0};
    while (fgets(line, sizeof line, list)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (!strncmp(line, "file ", 5)) {
            if (r.path) Run(out, &r);
            Clear(&r);
            r.path = _strdup(line + 5);
        } else if (!strncmp(line, "key ", 4) && r.keyCount < MAX_KEYS) {
            r.keys[r.keyCount++] = _strdup(line + 4);
        } else if (!strncmp(line, "query ", 6) && r.queryCount < MAX_KEYS) {
            r.queries[r.queryCount++] = _strdup(line + 6);
        }
    }
    if (r.path) Run(out, &r);
    Clear(&r);
    return fclose(out) == 0 && !ferror(list) ? 0 : 1;
}
