/*
 * malloc_count.c: an LD_PRELOAD shim that counts heap calls. The counts
 * live in a file mapped shared (path in KRIX_MALLOC_COUNT), so a script can
 * read them at any moment while the program runs, without a signal or any
 * other change to the program: eight unsigned 64-bit counters in host byte
 * order, in the order of enum below.
 *
 * The calls go on to glibc's own allocator through its __libc_ names.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

enum { C_MALLOC, C_CALLOC, C_REALLOC, C_FREE, C_MEMALIGN, C_OTHER, C_SPARE1, C_SPARE2, C_N };

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void __libc_free(void *);
extern void *__libc_memalign(size_t, size_t);

/* Counts before the file is mapped (the dynamic loader's own early calls)
 * land here and are not reported. */
static uint64_t early[C_N];
static volatile uint64_t *counts = early;

__attribute__((constructor)) static void count_map(void)
{
	const char *path = getenv("KRIX_MALLOC_COUNT");
	if (path == NULL)
		return;
	int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (fd < 0)
		return;
	if (ftruncate(fd, sizeof(uint64_t) * C_N) == 0) {
		void *m = mmap(NULL, sizeof(uint64_t) * C_N, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
		if (m != MAP_FAILED)
			counts = m;
	}
	close(fd);
}

void *malloc(size_t n)
{
	counts[C_MALLOC]++;
	return __libc_malloc(n);
}

void *calloc(size_t n, size_t m)
{
	counts[C_CALLOC]++;
	return __libc_calloc(n, m);
}

void *realloc(void *p, size_t n)
{
	counts[C_REALLOC]++;
	return __libc_realloc(p, n);
}

void free(void *p)
{
	if (p != NULL)
		counts[C_FREE]++;
	__libc_free(p);
}

void *memalign(size_t a, size_t n)
{
	counts[C_MEMALIGN]++;
	return __libc_memalign(a, n);
}

void *aligned_alloc(size_t a, size_t n)
{
	counts[C_MEMALIGN]++;
	return __libc_memalign(a, n);
}

int posix_memalign(void **p, size_t a, size_t n)
{
	counts[C_MEMALIGN]++;
	*p = __libc_memalign(a, n);
	return *p ? 0 : 12; /* ENOMEM */
}
