// Tests of the learning table: the key and bucket arithmetic, the sizes of
// table_init, refresh, hold-off, expiry, the sweep rhythm, the chain links
// and the allocation failures. The clock and the allocators are replaced
// through the table's seams, so every time step is exact.
#include "table.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common.h"

namespace {

using Mac = std::array<uint8_t, MAC_LEN>;

constexpr int32_t VNI = 42;
constexpr uint32_t PEER = 0x0100a8c0; // 192.168.0.1 in network byte order
constexpr uint32_t OTHER_PEER = 0x0200a8c0;
constexpr time_t T0 = 1000000;

const Mac EXAMPLE_MAC = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

time_t fake_now;
int clock_reads;

time_t fake_clock(time_t *out)
{
	clock_reads++;
	if (out)
		*out = fake_now;
	return fake_now;
}

void *failing_malloc(size_t)
{
	errno = ENOMEM;
	return nullptr;
}

void *failing_calloc(size_t, size_t)
{
	errno = ENOMEM;
	return nullptr;
}

// A distinct locally administered address for each n.
Mac mac_of(uint32_t n)
{
	return {0x06, 0x00, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
}

// The key as the sum of its parts, written independently of the table's
// shifts so that the two can be compared.
uint64_t key_by_formula(const Mac &mac, int32_t vni)
{
	uint64_t key = 0;
	for (size_t i = 0; i < MAC_LEN; i++)
		key += uint64_t(mac[i]) << (8 * i);
	return key + (uint64_t(uint32_t(vni) & 0xffff) << 48);
}

size_t bucket_of(const Mac &mac, int32_t vni)
{
	return table_bucket_index(table_key(mac.data(), vni), int32_t(table_bucket_count() - 1));
}

HashEntry *entry_of(const Mac &mac, int32_t vni)
{
	uint64_t key = table_key(mac.data(), vni);
	for (HashEntry *e = table_bucket_head(bucket_of(mac, vni)); e; e = e->next)
		if (e->key == key)
			return e;
	return nullptr;
}

size_t entry_count()
{
	size_t n = 0;
	for (size_t i = 0; i < table_bucket_count(); i++)
		for (HashEntry *e = table_bucket_head(i); e; e = e->next)
			n++;
	return n;
}

void learn_at(time_t when, const Mac &mac, uint32_t dest, int32_t vni = VNI)
{
	fake_now = when;
	table_learn(mac.data(), vni, dest);
}

void sweep_at(time_t when)
{
	fake_now = when;
	table_sweep();
}

std::string log_text(const std::string &message)
{
	return "krix_vxlan: " + message + "\n";
}

class TableTest : public testing::Test {
protected:
	void SetUp() override
	{
		table_clock = fake_clock;
		fake_now = T0;
		clock_reads = 0;
		table_init(128);
	}

	void TearDown() override
	{
		table_destroy();
		table_clock = time;
		table_entry_alloc = malloc;
		table_array_alloc = calloc;
	}

	// Starts again with an empty table of size buckets.
	void reinit(int32_t size)
	{
		table_destroy();
		table_init(size);
	}
};

using TableDeathTest = TableTest;

TEST(TableKey, MatchesTheFormulaForEveryKindOfVni)
{
	struct Row {
		const char *name;
		Mac mac;
		int32_t vni;
		uint64_t key;
	};
	const Row rows[] = {
		{"worked example", EXAMPLE_MAC, 42, 0x002a010000000002},
		{"bits above 16 leave the key", EXAMPLE_MAC, 65578, 0x002a010000000002},
		{"next VNI", EXAMPLE_MAC, 43, 0x002b010000000002},
		{"VNI 0", EXAMPLE_MAC, 0, 0x0000010000000002},
		{"largest 24-bit VNI", EXAMPLE_MAC, 0xffffff, 0xffff010000000002},
		{"minus one", EXAMPLE_MAC, -1, 0xffff010000000002},
		{"minus 42", EXAMPLE_MAC, -42, 0xffd6010000000002},
		{"INT32_MIN", EXAMPLE_MAC, INT32_MIN, 0x0000010000000002},
		{"INT32_MAX", EXAMPLE_MAC, INT32_MAX, 0xffff010000000002},
		{"all-ones MAC", {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 0, 0x0000ffffffffffff},
		{"all-ones MAC, negative VNI", {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, -2, 0xfffeffffffffffff},
		{"byte order", {0x01, 0x02, 0x03, 0x04, 0x05, 0x06}, 0x0708, 0x0708060504030201},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		EXPECT_EQ(table_key(row.mac.data(), row.vni), row.key);
		EXPECT_EQ(table_key(row.mac.data(), row.vni), key_by_formula(row.mac, row.vni));
	}
}

TEST(TableKey, ReadsTheMacAtAnyAlignment)
{
	// The callers pass pointers into receive buffers: offset 6 for a
	// source address, and the buffer itself need not be aligned.
	uint8_t frame[1 + ETH_ADDRS_LEN] = {};
	memcpy(frame + 1 + ETH_SRC_OFF, EXAMPLE_MAC.data(), MAC_LEN);
	EXPECT_EQ(table_key(frame + 1 + ETH_SRC_OFF, 42), 0x002a010000000002u);
}

TEST(TableBucketIndex, WorkedExample)
{
	const uint64_t key = 0x002a010000000002;
	// With every mask bit set the whole 32-bit result shows, so a slip in
	// any of the four steps changes it.
	EXPECT_EQ(table_bucket_index(key, -1), 0x1f6ac59du);
	EXPECT_EQ(table_bucket_index(key, 127), 29u);
	EXPECT_EQ(table_bucket_index(key, 255), 0x9du);
	EXPECT_EQ(table_bucket_index(key, 0), 0u);
}

TEST_F(TableTest, WorkedExampleLandsInBucket29)
{
	learn_at(T0, EXAMPLE_MAC, PEER);
	HashEntry *e = table_bucket_head(29);
	ASSERT_NE(e, nullptr);
	EXPECT_EQ(e->key, 0x002a010000000002u);
	EXPECT_EQ(e->dest, PEER);
	EXPECT_EQ(e->last_seen, T0);
	EXPECT_EQ(entry_count(), 1u);
}

TEST_F(TableTest, VnisSharingTheLow16BitsShareOneEntry)
{
	learn_at(T0, EXAMPLE_MAC, PEER, 42);
	EXPECT_EQ(table_find(EXAMPLE_MAC.data(), 65578), PEER);
	learn_at(T0 + 1, EXAMPLE_MAC, PEER, 65578);
	EXPECT_EQ(entry_count(), 1u);
	EXPECT_EQ(entry_of(EXAMPLE_MAC, 42)->last_seen, T0 + 1);

	learn_at(T0 + 1, EXAMPLE_MAC, OTHER_PEER, 43);
	EXPECT_EQ(entry_count(), 2u);
	EXPECT_EQ(table_find(EXAMPLE_MAC.data(), 42), PEER);
	EXPECT_EQ(table_find(EXAMPLE_MAC.data(), 43), OTHER_PEER);
}

TEST_F(TableTest, InitRoundsToAPowerOfTwoAndWarnsOnlyWhenItRounds)
{
	struct Row {
		int32_t size;
		size_t buckets;
		const char *warning;
	};
	const Row rows[] = {
		{0, 1, nullptr},
		{1, 1, nullptr},
		{2, 2, nullptr},
		{3, 4, "Hash size must be a power of 2. 3 rounded to 4"},
		{100, 128, "Hash size must be a power of 2. 100 rounded to 128"},
		{128, 128, nullptr},
		{129, 256, "Hash size must be a power of 2. 129 rounded to 256"},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.size);
		table_destroy();
		testing::internal::CaptureStderr();
		table_init(row.size);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(err, row.warning ? log_text(row.warning) : "");
		EXPECT_EQ(table_bucket_count(), row.buckets);

		// The mask that picks the bucket must agree with the count the
		// sweep walks: an entry must land where the sweep will find it.
		learn_at(T0, EXAMPLE_MAC, PEER);
		size_t expected = 0x1f6ac59du & (row.buckets - 1);
		ASSERT_NE(table_bucket_head(expected), nullptr);
		EXPECT_EQ(table_bucket_head(expected)->key, 0x002a010000000002u);
		sweep_at(T0 + 101);
		EXPECT_EQ(table_bucket_head(expected), nullptr);
	}
}

TEST_F(TableTest, FindChangesNothing)
{
	EXPECT_EQ(table_find(EXAMPLE_MAC.data(), VNI), 0u);
	EXPECT_EQ(entry_count(), 0u);

	learn_at(T0, EXAMPLE_MAC, PEER);
	fake_now = T0 + 50;
	EXPECT_EQ(table_find(EXAMPLE_MAC.data(), VNI), PEER);
	EXPECT_EQ(entry_of(EXAMPLE_MAC, VNI)->last_seen, T0);
	EXPECT_EQ(entry_count(), 1u);
}

TEST_F(TableTest, DestinationZeroIsStored)
{
	learn_at(T0, EXAMPLE_MAC, DEST_NONE);
	HashEntry *e = entry_of(EXAMPLE_MAC, VNI);
	ASSERT_NE(e, nullptr);
	EXPECT_EQ(e->dest, DEST_NONE);
	EXPECT_EQ(e->last_seen, T0);
	EXPECT_EQ(table_find(EXAMPLE_MAC.data(), VNI), DEST_NONE);
	// It is a destination like any other: a claim from the switch is
	// held off.
	learn_at(T0 + 3, EXAMPLE_MAC, DEST_SWITCH);
	EXPECT_EQ(table_find(EXAMPLE_MAC.data(), VNI), DEST_NONE);
}

// Each row learns its own address from the switch at T0, then learns it
// again at T0 + delta from claim_dest.
TEST_F(TableTest, RefreshAndHoldOff)
{
	struct Row {
		const char *name;
		time_t delta;
		uint32_t claim_dest;
		uint32_t dest;
		time_t last_seen;
	};
	const Row rows[] = {
		{"same place refreshes", 3, DEST_SWITCH, DEST_SWITCH, T0 + 3},
		{"same place, clock stepped back", -10, DEST_SWITCH, DEST_SWITCH, T0 - 10},
		{"same place past expiry refreshes", 500, DEST_SWITCH, DEST_SWITCH, T0 + 500},
		{"claim in the same second is ignored", 0, PEER, DEST_SWITCH, T0},
		{"claim at t+3 is ignored", 3, PEER, DEST_SWITCH, T0},
		{"claim at t+4 moves", 4, PEER, PEER, T0 + 4},
		{"claim after the clock stepped back is ignored", -10, PEER, DEST_SWITCH, T0},
		{"claim far back is ignored", -1000000, PEER, DEST_SWITCH, T0},
		{"claim past expiry moves at once", 500, PEER, PEER, T0 + 500},
	};
	uint32_t n = 0;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		Mac mac = mac_of(n++);
		learn_at(T0, mac, DEST_SWITCH);
		learn_at(T0 + row.delta, mac, row.claim_dest);
		HashEntry *e = entry_of(mac, VNI);
		ASSERT_NE(e, nullptr);
		EXPECT_EQ(e->dest, row.dest);
		EXPECT_EQ(e->last_seen, row.last_seen);
		EXPECT_EQ(table_find(mac.data(), VNI), row.dest);
	}
	EXPECT_EQ(entry_count(), n);
}

TEST_F(TableTest, IgnoredClaimsDoNotRefreshAndAMoveRestartsTheHoldOff)
{
	struct Step {
		time_t at;
		uint32_t from;
		uint32_t dest;
	};
	const Step steps[] = {
		{T0, DEST_SWITCH, DEST_SWITCH},
		{T0 + 3, PEER, DEST_SWITCH},
		{T0 + 4, PEER, PEER},
		{T0 + 5, DEST_SWITCH, PEER},
		{T0 + 7, OTHER_PEER, PEER},
		{T0 + 8, DEST_SWITCH, DEST_SWITCH},
	};
	for (const Step &step : steps) {
		SCOPED_TRACE(step.at - T0);
		learn_at(step.at, EXAMPLE_MAC, step.from);
		EXPECT_EQ(table_find(EXAMPLE_MAC.data(), VNI), step.dest);
	}
	EXPECT_EQ(entry_count(), 1u);
}

TEST_F(TableTest, ExpiryBoundary)
{
	const Mac stamped_t0 = mac_of(1), stamped_t1 = mac_of(2);
	learn_at(T0, stamped_t0, DEST_SWITCH);
	learn_at(T0 + 1, stamped_t1, PEER);
	// The first sweep always runs: at T0 + 101 it is 101 seconds after
	// the first stamp and 100 after the second.
	sweep_at(T0 + 101);
	EXPECT_EQ(entry_of(stamped_t0, VNI), nullptr);
	EXPECT_EQ(table_find(stamped_t0.data(), VNI), 0u);
	EXPECT_NE(entry_of(stamped_t1, VNI), nullptr);
	EXPECT_EQ(table_find(stamped_t1.data(), VNI), PEER);
	EXPECT_EQ(entry_count(), 1u);
}

TEST_F(TableTest, PastExpiryButUnsweptIsStillFound)
{
	learn_at(T0, EXAMPLE_MAC, PEER);
	fake_now = T0 + 1000;
	EXPECT_EQ(table_find(EXAMPLE_MAC.data(), VNI), PEER);
}

// Before each call a probe is learned 101 seconds in the past: the probe is
// gone exactly when that call swept.
TEST_F(TableTest, SweepRhythm)
{
	struct Step {
		time_t at;
		bool sweeps;
	};
	const Step steps[] = {
		{T0, true}, // the very first call sweeps
		{T0 + 1, false},
		{T0 + 2, false},
		{T0 + 3, true},
		{T0 + 5, false},
		{T0 + 6, true},
		{T0 + 106, true},
	};
	uint32_t n = 0;
	for (const Step &step : steps) {
		SCOPED_TRACE(step.at - T0);
		Mac probe = mac_of(n++);
		learn_at(step.at - 101, probe, PEER);
		sweep_at(step.at);
		EXPECT_EQ(entry_of(probe, VNI) == nullptr, step.sweeps);
		if (step.sweeps) {
			EXPECT_EQ(entry_count(), 0u);
		}
	}
}

TEST_F(TableTest, ClockSteppingBackwards)
{
	const Mac ahead = mac_of(1), old = mac_of(2);
	sweep_at(T0);
	learn_at(T0 + 1000, ahead, PEER);
	// The clock steps back 500 seconds; old is stamped long before that.
	learn_at(T0 - 700, old, PEER);
	sweep_at(T0 - 500);
	EXPECT_NE(entry_of(old, VNI), nullptr);
	sweep_at(T0 + 2);
	EXPECT_NE(entry_of(old, VNI), nullptr);
	sweep_at(T0 + 3);
	EXPECT_EQ(entry_of(old, VNI), nullptr);

	// Seen from the clock now, ahead was stamped in the future: it neither
	// expires nor moves.
	EXPECT_EQ(table_find(ahead.data(), VNI), PEER);
	learn_at(T0 + 3, ahead, DEST_SWITCH);
	EXPECT_EQ(table_find(ahead.data(), VNI), PEER);
	EXPECT_EQ(entry_of(ahead, VNI)->last_seen, T0 + 1000);
}

TEST_F(TableTest, FailedEntryAllocationLeavesTheTableAsItWas)
{
	// One bucket, so the failed learn would have gone into the chain that
	// already holds an entry.
	reinit(1);
	const Mac known = mac_of(1);
	learn_at(T0, known, PEER);
	HashEntry *head = table_bucket_head(0);
	HashEntry **head_link = head->prev_link;

	table_entry_alloc = failing_malloc;
	clock_reads = 0;
	testing::internal::CaptureStderr();
	learn_at(T0 + 1, EXAMPLE_MAC, DEST_SWITCH);
	EXPECT_EQ(clock_reads, 0);
	// A refresh needs no allocation.
	learn_at(T0 + 2, known, PEER);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err, log_text(std::string("Failed to malloc hash entry ") + strerror(ENOMEM)));

	EXPECT_EQ(table_bucket_head(0), head);
	EXPECT_EQ(head->next, nullptr);
	EXPECT_EQ(head->prev_link, head_link);
	EXPECT_EQ(head->last_seen, T0 + 2);
	EXPECT_EQ(table_find(EXAMPLE_MAC.data(), VNI), 0u);

	table_entry_alloc = malloc;
	learn_at(T0 + 3, EXAMPLE_MAC, DEST_SWITCH);
	EXPECT_EQ(table_find(EXAMPLE_MAC.data(), VNI), DEST_SWITCH);
	EXPECT_EQ(entry_count(), 2u);
}

// Checks the invariants of every chain: each entry in the bucket its key
// selects, and each prev_link pointing at the link that holds the entry.
void expect_links_correct()
{
	for (size_t i = 0; i < table_bucket_count(); i++) {
		HashEntry **link = nullptr;
		for (HashEntry *e = table_bucket_head(i); e; e = e->next) {
			EXPECT_EQ(table_bucket_index(e->key, int32_t(table_bucket_count() - 1)), i);
			EXPECT_EQ(*e->prev_link, e);
			if (link) {
				EXPECT_EQ(e->prev_link, link);
			}
			link = &e->next;
		}
	}
}

// Expects the one chain of a one-bucket table to hold macs in this order,
// its head held by bucket_link.
void expect_chain(HashEntry **bucket_link, const std::vector<Mac> &macs)
{
	EXPECT_EQ(*bucket_link, table_bucket_head(0));
	HashEntry **link = bucket_link;
	HashEntry *e = table_bucket_head(0);
	for (const Mac &mac : macs) {
		ASSERT_NE(e, nullptr);
		EXPECT_EQ(e->key, table_key(mac.data(), VNI));
		EXPECT_EQ(e->prev_link, link);
		link = &e->next;
		e = e->next;
	}
	EXPECT_EQ(e, nullptr);
}

TEST_F(TableTest, RemovalFromAnyPlaceInAChainKeepsTheLinks)
{
	// New entries go to the head, so learning 0, 1, 2 makes the chain
	// 2, 1, 0.
	struct Row {
		const char *name;
		uint32_t expired;
		std::vector<uint32_t> left;
	};
	const Row rows[] = {
		{"head", 2, {1, 0}},
		{"middle", 1, {2, 0}},
		{"tail", 0, {2, 1}},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		reinit(1);
		for (uint32_t n = 0; n < 3; n++)
			learn_at(n == row.expired ? T0 - 101 : T0, mac_of(n), PEER);
		HashEntry **bucket_link = table_bucket_head(0)->prev_link;
		expect_chain(bucket_link, {mac_of(2), mac_of(1), mac_of(0)});

		sweep_at(T0);
		std::vector<Mac> left;
		for (uint32_t n : row.left)
			left.push_back(mac_of(n));
		expect_chain(bucket_link, left);

		// The chain must go on working: a new head, then everything
		// removed.
		learn_at(T0 + 50, mac_of(3), PEER);
		left.insert(left.begin(), mac_of(3));
		expect_chain(bucket_link, left);
		sweep_at(T0 + 200);
		expect_chain(bucket_link, {});
	}
}

TEST_F(TableTest, ManyAddressesAllExpire)
{
	const uint32_t COUNT = 5000;
	for (uint32_t n = 0; n < COUNT; n++)
		learn_at(T0 + n % 2, mac_of(n), n % 2 ? DEST_SWITCH : PEER);
	EXPECT_EQ(entry_count(), size_t(COUNT));
	expect_links_correct();
	for (uint32_t n = 0; n < COUNT; n++)
		ASSERT_EQ(table_find(mac_of(n).data(), VNI), n % 2 ? DEST_SWITCH : PEER) << n;

	sweep_at(T0 + 101);
	EXPECT_EQ(entry_count(), size_t(COUNT / 2));
	expect_links_correct();
	sweep_at(T0 + 104);
	EXPECT_EQ(entry_count(), 0u);
	for (size_t i = 0; i < table_bucket_count(); i++)
		EXPECT_EQ(table_bucket_head(i), nullptr);
	for (uint32_t n = 0; n < COUNT; n++)
		ASSERT_EQ(table_find(mac_of(n).data(), VNI), 0u) << n;
}

TEST_F(TableDeathTest, FailedBucketArrayAllocationEndsTheProcess)
{
	table_destroy();
	table_array_alloc = failing_calloc;
	EXPECT_EXIT(table_init(128), testing::ExitedWithCode(1),
		    "^krix_vxlan: Failed to malloc hash table " + std::string(strerror(ENOMEM)) + "\n$");
}

} // namespace
