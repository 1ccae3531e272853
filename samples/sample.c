#include <stdio.h>

int main(void) {
    puts("VornUtils sample program");
    return 0;
}
