/* Runs one command and prints its wall time and peak memory:
 *
 *   measure COMMAND [ARGUMENTS...]   ->   "<microseconds> <max RSS KiB> <exit status>"
 *
 * The time runs from fork to the child's exit. ru_maxrss of a child that
 * execs includes the peak of the address space it replaced, so this program
 * keeps its own small (it is the parent whose copy the child replaces); the
 * figure is an upper bound within about a MiB. The command's output goes
 * where this program's goes. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs("usage: measure COMMAND [ARGUMENTS...]\n", stderr);
        return 64;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) {
        perror("measure: fork");
        return 71;
    }
    if (child == 0) {
        execvp(argv[1], argv + 1);
        perror("measure: exec");
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(child, &status, 0, &usage) != child) {
        perror("measure: wait4");
        return 71;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const long long micros = (end.tv_sec - start.tv_sec) * 1000000LL + (end.tv_nsec - start.tv_nsec) / 1000;
    printf("%lld %ld %d\n", micros, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}
