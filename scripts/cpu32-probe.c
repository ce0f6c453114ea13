/* Whether this machine's CPU runs 32-bit code in a 64-bit process, as Wine's
 * WoW64 mode needs: a far return into the 32-bit user code segment (0x23)
 * and back to the 64-bit one (0x33). Some virtual CPUs refuse the first far
 * return with a general-protection fault. The attempt is made in a child, so
 * that the fault is an answer and not a crash.
 * Exit status: 0 it can, 1 it cannot, 2 the probe itself failed. */
#define _GNU_SOURCE
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kReturned = 42 };

static void Attempt(void) {
    /* Code and stack below 4 GB, where 32-bit code can reach them. */
    unsigned char* code =
        mmap(NULL, 4096, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    unsigned char* stack = mmap(NULL, 65536, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (code == MAP_FAILED || stack == MAP_FAILED) _exit(3);
    /* 32-bit: push 0x33; push back; lret (far return to 64-bit code). */
    uint32_t back = (uint32_t)(uintptr_t)(code + 64);
    unsigned char thirtyTwo[] = {0x6a, 0x33, 0x68, 0, 0, 0, 0, 0xcb};
    memcpy(thirtyTwo + 3, &back, sizeof back);
    memcpy(code, thirtyTwo, sizeof thirtyTwo);
    /* 64-bit again: exit(kReturned) through the system call itself. */
    unsigned char sixtyFour[] = {0xbf, kReturned, 0, 0, 0, 0xb8, 60, 0, 0, 0, 0x0f, 0x05};
    memcpy(code + 64, sixtyFour, sizeof sixtyFour);
    uint64_t top = (uint64_t)(uintptr_t)(stack + 65536 - 64);
    __asm__ volatile(
        "mov %0, %%rsp\n\t"
        "pushq $0x23\n\t"
        "pushq %1\n\t"
        "lretq\n\t"
        :
        : "r"(top), "r"((uint64_t)(uintptr_t)code)
        : "memory");
    _exit(4);
}

int main(void) {
    pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) Attempt();
    int status = 0;
    if (waitpid(child, &status, 0) != child) return 2;
    if (WIFEXITED(status) && WEXITSTATUS(status) == kReturned) return 0;
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGSEGV || WTERMSIG(status) == SIGBUS)) return 1;
    fprintf(stderr, "cpu32-probe: the attempt ended with %s %d\n", WIFEXITED(status) ? "status" : "signal",
            WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    return 2;
}
