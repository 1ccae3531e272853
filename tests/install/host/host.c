/* Reads a program's version through the installed library: prints it and
 * exits 0 when the library answers. */
#include <stdio.h>

#include <vornutils.h>

int main(int argc, char** argv) {
    VersionInfoBlock block;
    if (argc != 2) return 2;
    const int32_t code = CUtil_22(argv[1], &block);
    if (code != VornSuccess) {
        fprintf(stderr, "CUtil_22: %d\n", (int)code);
        return 1;
    }
    printf("%u.%u.%u.%u %s\n", block.versionMajor, block.versionMinor, block.versionRelease, block.versionBuild,
           block.fileDescription);
    return 0;
}
