/*
 * The library's main job, as a C host does it through the public header:
 * shows a program's version information, gives it a new main icon from an
 * .ico file, stamps new version information into it and reads it back.
 *
 * Usage: edit_sample PROGRAM ICON
 */
#include <stdio.h>
#include <string.h>

#include "vornutils.h"

static void Show(const char* when, const VersionInfoBlock* block) {
    printf("%s: version %u.%u.%u.%u, language %u, code page %u\n", when, block->versionMajor, block->versionMinor,
           block->versionRelease, block->versionBuild, block->language, block->codePage);
    printf("  FileVersion     \"%s\"\n  FileDescription \"%s\"\n  CompanyName     \"%s\"\n  LegalCopyright  \"%s\"\n",
           block->fileVersion, block->fileDescription, block->companyName, block->legalCopyright);
}

static int Failed(const char* what, const char* path, int32_t code) {
    fprintf(stderr, "%s %s: result code %d\n", what, path, (int)code);
    return (int)code;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s PROGRAM ICON\n", argv[0]);
        return 2;
    }
    const char* program = argv[1];
    VersionInfoBlock block;
    int32_t code = CUtil_22(program, &block);
    if (code != VornSuccess) return Failed("reading the version of", program, code);
    Show("before", &block);

    code = CUtil_21(program, argv[2], 1, NULL);
    if (code != VornSuccess) return Failed("replacing the icon of", program, code);
    printf("main icon replaced from %s\n", argv[2]);

    block.versionMajor = 2;
    block.versionMinor = 0;
    block.versionRelease = 0;
    block.versionBuild = 17;
    snprintf(block.fileVersion, sizeof block.fileVersion, "2.0.0.17");
    snprintf(block.fileDescription, sizeof block.fileDescription, "Sample program, stamped by VornUtils");
    code = CUtil_23(program, &block);
    if (code != VornSuccess) return Failed("writing the version of", program, code);

    memset(&block, 0, sizeof block);
    code = CUtil_22(program, &block);
    if (code != VornSuccess) return Failed("reading back the version of", program, code);
    Show("after", &block);
    return 0;
}
