/*
 * fail_alloc.so: makes malloc fail in a running program, for the test of a
 * bridge whose learning table cannot get memory. Loaded with LD_PRELOAD.
 *
 * While the file named by KRIX_FAIL_ALLOC_FLAG exists, every malloc of
 * exactly KRIX_FAIL_ALLOC_SIZE bytes (40 by default, one table entry)
 * returns NULL with errno ENOMEM; every other call, and every call while the
 * file is absent, goes to the next malloc in line (the C library's, or the
 * sanitizer runtime's). The file is looked at only for calls of that size,
 * so a program at full speed pays one access(2) per table entry made.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <unistd.h>

static void *(*next_malloc)(size_t);
static const char *flag_path;
static size_t fail_size = 40;

__attribute__((constructor)) static void fail_alloc_init(void)
{
	const char *size = getenv("KRIX_FAIL_ALLOC_SIZE");

	flag_path = getenv("KRIX_FAIL_ALLOC_FLAG");
	if (size != NULL)
		fail_size = (size_t)strtoul(size, NULL, 10);
	next_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
}

void *malloc(size_t size)
{
	if (next_malloc == NULL)
		next_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
	if (size == fail_size && flag_path != NULL && access(flag_path, F_OK) == 0) {
		errno = ENOMEM;
		return NULL;
	}
	return next_malloc(size);
}
