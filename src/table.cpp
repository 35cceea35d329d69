#include "table.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "log.h"

time_t (*table_clock)(time_t *) = time;
void *(*table_entry_alloc)(size_t) = malloc;
void *(*table_array_alloc)(size_t, size_t) = calloc;

static HashEntry **buckets;
static int32_t bucket_mask;
static int32_t bucket_bits;
static int32_t expire_secs;
static int32_t holdoff_secs = 3;
static time_t last_sweep;

uint64_t table_key(const uint8_t *mac, int32_t vni)
{
	// Unsigned arithmetic throughout: the VNI is sign-extended, and its
	// bits from 16 upwards (its sign included) fall off the top of the
	// 64-bit value in the second shift, which is what the key means.
	uint64_t low = uint64_t(mac[0]) | uint64_t(mac[1]) << 8 | uint64_t(mac[2]) << 16 |
		       uint64_t(mac[3]) << 24;
	uint64_t high = uint64_t(mac[4]) | uint64_t(mac[5]) << 8;
	uint64_t vni64 = uint64_t(int64_t(vni));
	return ((high + (vni64 << 16)) << 32) + low;
}

uint32_t table_bucket_index(uint64_t key, int32_t mask)
{
	uint64_t h = key ^ (key >> 33);
	h *= 0xff51afd7ed558ccdULL;
	h ^= h >> 33;
	uint32_t i = uint32_t(h) * 0x1a85ec53U;
	return i & uint32_t(mask);
}

static HashEntry **table_head(uint64_t key)
{
	return &buckets[table_bucket_index(key, bucket_mask)];
}

static HashEntry *table_search(HashEntry *e, uint64_t key)
{
	while (e && e->key != key)
		e = e->next;
	return e;
}

void table_init(int32_t size)
{
	int32_t bits = 0;
	if (size > 1) {
		for (uint32_t v = uint32_t(size - 1); v; v >>= 1)
			bits++;
		int32_t count = int32_t(1) << bits;
		if (count != size)
			log_line(LOG_WARNING, "Hash size must be a power of 2. %d rounded to %d", size, count);
	}
	bucket_bits = bits;
	bucket_mask = (int32_t(1) << bits) - 1;
	buckets = static_cast<HashEntry **>(table_array_alloc(size_t(1) << bits, sizeof(HashEntry *)));
	if (!buckets) {
		log_line(LOG_WARNING, "Failed to malloc hash table %s", strerror(errno));
		exit(1);
	}
	expire_secs = 100;
}

void table_learn(const uint8_t *mac, int32_t vni, uint32_t dest)
{
	uint64_t key = table_key(mac, vni);
	HashEntry **head = table_head(key);
	HashEntry *e = table_search(*head, key);
	if (!e) {
		e = static_cast<HashEntry *>(table_entry_alloc(sizeof(HashEntry)));
		if (!e) {
			log_line(LOG_WARNING, "Failed to malloc hash entry %s", strerror(errno));
			return;
		}
		e->key = key;
		e->dest = dest;
		e->next = *head;
		if (e->next)
			e->next->prev_link = &e->next;
		e->prev_link = head;
		*head = e;
	}

	time_t now = table_clock(nullptr);
	if (e->dest == dest) {
		e->last_seen = now;
	} else if (now - e->last_seen > time_t(holdoff_secs)) {
		// Silent long enough at its old place: the address has moved.
		// Until then a claim from elsewhere is ignored, so that a remote
		// endpoint cannot take over an address active behind the switch.
		e->dest = dest;
		e->last_seen = now;
	}
}

uint32_t table_find(const uint8_t *mac, int32_t vni)
{
	uint64_t key = table_key(mac, vni);
	const HashEntry *e = table_search(*table_head(key), key);
	return e ? e->dest : 0;
}

static void table_unlink(HashEntry *e)
{
	*e->prev_link = e->next;
	if (e->next)
		e->next->prev_link = e->prev_link;
	free(e);
}

void table_sweep(void)
{
	time_t now = table_clock(nullptr);
	if (now - last_sweep <= 2)
		return;

	size_t count = size_t(1) << bucket_bits;
	for (size_t i = 0; i < count; i++) {
		HashEntry *next;
		for (HashEntry *e = buckets[i]; e; e = next) {
			next = e->next;
			if (now > e->last_seen + time_t(expire_secs))
				table_unlink(e);
		}
	}
	last_sweep = now;
}

size_t table_bucket_count(void)
{
	return buckets ? size_t(1) << bucket_bits : 0;
}

HashEntry *table_bucket_head(size_t index)
{
	return buckets[index];
}

void table_destroy(void)
{
	for (size_t i = 0; i < table_bucket_count(); i++) {
		HashEntry *next;
		for (HashEntry *e = buckets[i]; e; e = next) {
			next = e->next;
			free(e);
		}
	}
	free(buckets);
	buckets = nullptr;
	bucket_mask = 0;
	bucket_bits = 0;
	expire_secs = 0;
	holdoff_secs = 3;
	last_sweep = 0;
}
