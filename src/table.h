// The learning table: where each MAC address of the segment lives, per VNI.
#ifndef KRIX_VXLAN_TABLE_H
#define KRIX_VXLAN_TABLE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

struct HashEntry {
	HashEntry *next;       // next entry of the same bucket chain
	HashEntry **prev_link; // the link that points at this entry
	time_t last_seen;      // made, refreshed or moved at this time
	uint32_t dest;         // DEST_SWITCH or a peer's IPv4 address
	uint64_t key;          // MAC address and the VNI's low 16 bits
};

// Creates the table with size buckets, raised to a power of two.
void table_init(int32_t size);
// Records that mac was seen from dest, subject to the hold-off.
void table_learn(const uint8_t *mac, int32_t vni, uint32_t dest);
// Returns the destination learned for mac, or 0.
uint32_t table_find(const uint8_t *mac, int32_t vni);
// Removes entries silent for too long, at most once in three seconds.
void table_sweep(void);

// The key of mac in vni: the MAC bytes and the VNI's low 16 bits, read as a
// little-endian 64-bit number.
uint64_t table_key(const uint8_t *mac, int32_t vni);
// The bucket index of key under mask.
uint32_t table_bucket_index(uint64_t key, int32_t mask);

// Inspection for tests and tools.
size_t table_bucket_count(void);
HashEntry *table_bucket_head(size_t index);

// Seams for tests: the clock and the entry allocator. The program leaves
// them at time and malloc.
extern time_t (*table_clock)(time_t *);
extern void *(*table_entry_alloc)(size_t);
extern void *(*table_array_alloc)(size_t, size_t);
// Frees everything and returns the module to its state at program start.
// The program never calls it: its table lives until the process ends.
void table_destroy(void);

#endif
