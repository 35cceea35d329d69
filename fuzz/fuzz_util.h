// Set-up shared by the fuzz harnesses: a private network namespace for the
// sockets of the bridge's harnesses, a private directory for those of the
// switch and the plug, and a check that ends the run loudly.
#ifndef FUZZ_UTIL_H
#define FUZZ_UTIL_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

// Aborts with the message when cond is false, so that libFuzzer records the
// input as a crash.
#define FUZZ_CHECK(cond) fuzz_check((cond), #cond, __FILE__, __LINE__)
void fuzz_check(bool ok, const char *what, const char *file, int line);

// Moves the calling thread into a new network namespace with only `lo`, up.
// Ends the process when that cannot be done: the harnesses must never open
// a UDP socket in the machine's own namespace.
void fuzz_private_netns(void);

// A blocking UDP socket bound to addr:port (network byte order address).
int fuzz_udp_socket(in_addr_t addr, uint16_t port);

// Makes a private temporary directory, removed again at exit with every
// file directly inside it.
std::string fuzz_temp_dir(const char *tag);

// The lowest free descriptor number: it grows when an input leaks one.
int fuzz_lowest_free_fd(void);

// Reads a little-endian 16-bit length and that many bytes from the input;
// a short input yields what is left. False when the input is used up.
bool fuzz_take_record(const uint8_t **data, size_t *size, const uint8_t **rec, size_t *len);

#endif
