/*
 * fdb.cpp: a set-associative table: each address hashes to one bucket of a
 * few ways. When a bucket is full the stalest entry gives way, which bounds
 * the work per frame and needs no allocation; ageing is checked on lookup,
 * so no sweep is needed either.
 */
#include "fdb.h"

#include <array>
#include <cstring>

namespace {

constexpr int FDB_BUCKETS = 4096; /* a power of two */
constexpr int FDB_WAYS = 4;

struct FdbEntry {
	uint64_t mac;  /* the 48-bit address */
	int32_t  port; /* 0 = unused way */
	int64_t  seen_ms;
};

std::array<std::array<FdbEntry, FDB_WAYS>, FDB_BUCKETS> fdb_table;
int64_t fdb_ageing_ms;

uint64_t fdb_key(const uint8_t *mac)
{
	uint64_t k = 0;

	memcpy(&k, mac, 6);
	return k;
}

std::array<FdbEntry, FDB_WAYS> &fdb_bucket(uint64_t key)
{
	/* Fibonacci hashing: the multiply spreads the vendor-heavy low bytes. */
	return fdb_table[(key * 0x9e3779b97f4a7c15ull) >> (64 - 12)];
}

static_assert(FDB_BUCKETS == 1 << 12, "the hash shift assumes 4096 buckets");

bool fdb_live(const FdbEntry &e, int64_t now_ms)
{
	return e.port != 0 && now_ms - e.seen_ms <= fdb_ageing_ms;
}

} // namespace

void fdb_init(int64_t ageing_ms)
{
	fdb_ageing_ms = ageing_ms;
	for (auto &b : fdb_table)
		for (auto &e : b)
			e = FdbEntry{};
}

void fdb_learn(const uint8_t *mac, int port, int64_t now_ms)
{
	uint64_t key = fdb_key(mac);
	auto &b = fdb_bucket(key);
	FdbEntry *victim = &b[0];

	for (auto &e : b) {
		if (e.port != 0 && e.mac == key) {
			e.port = port;
			e.seen_ms = now_ms;
			return;
		}
		if (!fdb_live(*victim, now_ms))
			continue;
		if (!fdb_live(e, now_ms) || e.seen_ms < victim->seen_ms)
			victim = &e;
	}
	*victim = FdbEntry{key, port, now_ms};
}

int fdb_lookup(const uint8_t *mac, int64_t now_ms)
{
	uint64_t key = fdb_key(mac);

	for (const auto &e : fdb_bucket(key))
		if (e.port != 0 && e.mac == key)
			return fdb_live(e, now_ms) ? e.port : 0;
	return 0;
}

void fdb_forget_port(int port)
{
	for (auto &b : fdb_table)
		for (auto &e : b)
			if (e.port == port)
				e = FdbEntry{};
}
