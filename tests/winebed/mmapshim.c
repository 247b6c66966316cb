/* Preloaded into the 32-bit Wine loader when it runs under qemu-i386 user
 * emulation (on hosts whose kernel does not execute 32-bit code).
 *
 * At start-up Wine reserves the upper half of the 32-bit address space with
 * MAP_FIXED_NOREPLACE probes, halving the size after each refusal down to
 * 64 KiB. qemu-i386 never grants a hinted address in that range to the Wine
 * loader, so every probe fails and the 65,000 emulated calls cost close to a
 * minute per process. Nothing lives there when Wine starts (qemu places the
 * guest's own mappings below it), so this shim grants such a reservation at
 * once with MAP_FIXED, as the kernel would for a free range.
 *
 * qemu-i386 also keeps one global descriptor table for all the threads of a
 * process, where the kernel gives each thread its own thread-local entries.
 * Wine, given such an entry for %fs, points it at each new thread's TEB, so a
 * thread that reloads %fs may find another thread's TEB (and with it another
 * thread id, last-error code and lock ownership). The shim therefore takes
 * every free thread-local entry and clears %fs before Wine starts; Wine then
 * gives each thread an entry of its own in the local descriptor table, which
 * qemu shares between threads as the kernel does.
 */
#define _GNU_SOURCE
#include <asm/ldt.h>
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

/* Wine's user space limit: the shared user data page and everything above it. */
#define UPPER_AREA 0x7ffe0000u

__attribute__((constructor)) static void prepareForWine(void)
{
    /* qemu sets it again for each 32-bit child; native 64-bit children must not see it. */
    unsetenv("LD_PRELOAD");

    /* Every free thread-local entry taken (a 32-bit data segment is never an
       empty entry), so that Wine's request for one fails... */
    for (int slot = 0; slot < 8; ++slot) {
        struct user_desc entry = {0};
        entry.entry_number = (unsigned)-1;
        entry.limit = 0xfff;
        entry.seg_32bit = 1;
        entry.useable = 1;
        if (syscall(SYS_set_thread_area, &entry) != 0) break;
    }
    /* ...and no selector left in %fs for Wine to take over. */
    __asm__ volatile("movw %w0, %%fs" : : "r"(0));
}

/* A reservation: no access, no commit, not to replace anything, in the upper area. */
static int adjusted(void* addr, int prot, int flags)
{
    if ((flags & MAP_FIXED_NOREPLACE) && (flags & MAP_NORESERVE) && prot == PROT_NONE
        && (uintptr_t)addr >= UPPER_AREA)
        return (flags & ~MAP_FIXED_NOREPLACE) | MAP_FIXED;
    return flags;
}

void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    static void* (*next)(void*, size_t, int, int, int, off64_t);
    if (!next) next = (void* (*)(void*, size_t, int, int, int, off64_t))dlsym(RTLD_NEXT, "mmap64");
    return next(addr, len, prot, adjusted(addr, prot, flags), fd, off);
}

void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off)
{
    static void* (*next)(void*, size_t, int, int, int, off_t);
    if (!next) next = (void* (*)(void*, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap");
    return next(addr, len, prot, adjusted(addr, prot, flags), fd, off);
}
