// Speed of the learning table in the program's 128 buckets, holding 10,
// 1,000 and 100,000 addresses. Chains grow with the number of addresses, so
// the figures at 100,000 show the cost of a long chain walk, not a flaw.
#include "table.h"

#include <stdint.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "common.h"

namespace {

using Mac = std::array<uint8_t, MAC_LEN>;

constexpr int32_t BUCKETS = 128;
constexpr int32_t VNI = 42;
constexpr uint32_t PEER = 0x0100a8c0;

// First learns are timed in batches of this many new addresses, which are
// then swept away with the timer stopped.
constexpr uint32_t BATCH = 128;
// The fresh addresses of a batch, numbered apart from those of the table.
constexpr uint32_t FRESH_BASE = 0x80000000;

time_t bench_now;

time_t bench_clock(time_t *out)
{
	if (out)
		*out = bench_now;
	return bench_now;
}

Mac mac_of(uint32_t n)
{
	return {0x06, 0x00, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
}

// Makes a table of count addresses learned behind the switch and returns
// them shuffled, so that consecutive operations hit unrelated chains and
// every position in a chain equally often.
std::vector<Mac> fill_table(int64_t count)
{
	table_destroy();
	table_init(BUCKETS);
	std::vector<Mac> macs;
	for (uint32_t n = 0; n < uint32_t(count); n++) {
		macs.push_back(mac_of(n));
		table_learn(macs.back().data(), VNI, DEST_SWITCH);
	}
	std::shuffle(macs.begin(), macs.end(), std::mt19937(12345));
	return macs;
}

void table_bench_find(benchmark::State &state)
{
	std::vector<Mac> macs = fill_table(state.range(0));
	size_t i = 0;
	for (auto _ : state) {
		benchmark::DoNotOptimize(table_find(macs[i].data(), VNI));
		if (++i == macs.size())
			i = 0;
	}
	table_destroy();
}

// The switch side's learn of a known address: found, same destination,
// stamped with the real clock.
void table_bench_refresh(benchmark::State &state)
{
	std::vector<Mac> macs = fill_table(state.range(0));
	size_t i = 0;
	for (auto _ : state) {
		table_learn(macs[i].data(), VNI, DEST_SWITCH);
		if (++i == macs.size())
			i = 0;
	}
	benchmark::ClobberMemory();
	table_destroy();
}

// The learn of an address the table does not hold: a search to the end of
// the chain, an allocation and the insertion at the head. The table holds
// count to count + BATCH addresses while a batch is timed.
void table_bench_first_learn(benchmark::State &state)
{
	// The fake clock lets a sweep remove just the batch: the table's own
	// addresses are stamped ahead of every sweep, the batch long before.
	const time_t AHEAD = 2000000000, OLD = 1000;
	table_clock = bench_clock;
	bench_now = AHEAD;
	fill_table(state.range(0));

	std::vector<Mac> fresh;
	for (uint32_t n = 0; n < BATCH; n++)
		fresh.push_back(mac_of(FRESH_BASE + n));
	time_t sweep_time = 1000000;
	bench_now = OLD;
	uint32_t k = 0;
	for (auto _ : state) {
		table_learn(fresh[k].data(), VNI, PEER);
		if (++k == BATCH) {
			state.PauseTiming();
			bench_now = sweep_time += 3;
			table_sweep();
			bench_now = OLD;
			k = 0;
			state.ResumeTiming();
		}
	}
	table_destroy();
	table_clock = time;
}

BENCHMARK(table_bench_find)->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(table_bench_refresh)->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(table_bench_first_learn)->Arg(10)->Arg(1000)->Arg(100000);

} // namespace
