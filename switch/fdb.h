/*
 * fdb.h: the switch's learning table, MAC address -> port, with ageing.
 * Fixed size and allocated once, so learning a frame never allocates.
 */
#ifndef SWITCH_FDB_H
#define SWITCH_FDB_H

#include <cstdint>

/* Empties the table and sets how long an address is kept unseen. */
void fdb_init(int64_t ageing_ms);

/* Records that mac (6 bytes) was seen on port (>= 1) at now_ms. */
void fdb_learn(const uint8_t *mac, int port, int64_t now_ms);

/* The port mac was last seen on, or 0 when unknown or aged out. */
int fdb_lookup(const uint8_t *mac, int64_t now_ms);

/* Forgets every address learned on port, which has gone. */
void fdb_forget_port(int port);

#endif
