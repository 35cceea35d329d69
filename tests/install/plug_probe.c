/*
 * Built against the installed krixplug.h and libkrixplug through pkg-config
 * alone, as any outside program would be. It checks the parts of the
 * contract that need no switch: closing the null handle, and the errno of an
 * open that cannot succeed. Prints one line per failed check.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <krixplug.h>

static int failures;

static void expect(int ok, const char *what, int err)
{
	if (!ok) {
		printf("FAIL: %s (errno %d: %s)\n", what, err, strerror(err));
		failures++;
	}
}

int main(int argc, char **argv)
{
	SwitchOpenArgs args = { 0, NULL, 0700 };
	KRIXCONN *conn;
	int fd, err;

	if (argc != 2) {
		fprintf(stderr, "usage: plug_probe MISSING_DIR\n");
		return 2;
	}

	expect(krix_close(NULL) == 0, "krix_close(NULL) returns 0", 0);

	errno = 0;
	conn = krix_open_real(argv[1], "plug_probe", KRIX_INTERFACE_VERSION, &args);
	err = errno;
	expect(conn == NULL && err == ENOENT, "open on a missing directory fails with ENOENT", err);
	krix_close(conn);

	errno = 0;
	conn = krix_open_real(argv[1], "plug_probe", KRIX_INTERFACE_VERSION + 1, &args);
	err = errno;
	expect(conn == NULL && err == EPROTONOSUPPORT,
	       "another interface version is refused with EPROTONOSUPPORT", err);
	krix_close(conn);

	errno = 0;
	fd = krix_ctlfd(NULL);
	err = errno;
	expect(fd == -1 && err == EBADF, "krix_ctlfd(NULL) is -1 with EBADF", err);

	return failures != 0;
}
