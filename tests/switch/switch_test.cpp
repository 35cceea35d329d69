/*
 * switch_test.cpp: krix_switch as a plug sees it: forwarding, ports, the
 * socket directory and the control socket. Each test runs its own switch.
 */
#include "krix_wire.h"
#include "switch_harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char *BCAST = "ff:ff:ff:ff:ff:ff";
const char *MAC_A = "02:00:00:00:00:0a";
const char *MAC_B = "02:00:00:00:00:0b";
const char *MAC_C = "02:00:00:00:00:0c";
const char *MAC_X = "02:00:00:00:00:99"; /* never a source */
const char *GROUP = "01:00:5e:00:00:01";

class SwitchTest : public ::testing::Test {
protected:
	SwitchProc sw;
	std::vector<KRIXCONN *> plugs;

	void TearDown() override
	{
		for (KRIXCONN *c : plugs)
			krix_close(c);
		switch_cleanup(&sw);
	}

	/* Starts the switch and n plugs, plug i on port i + 1. */
	void start(int n, const std::vector<std::string> &extra = {})
	{
		ASSERT_TRUE(switch_start(&sw, extra));
		for (int i = 0; i < n; i++) {
			plugs.push_back(plug_open(sw, i + 1));
			ASSERT_NE(plugs.back(), nullptr) << strerror(errno);
		}
	}

	/*
	 * Sends frame from plug `from` and checks that exactly the plugs in
	 * `to` (a bit per plug) receive it. A broadcast fence from the same
	 * plug and source follows it through the same queue, so a plug that
	 * sees the fence first has surely not been sent the frame.
	 */
	void expect_delivery(int from, const Frame &frame, unsigned to)
	{
		Frame fence = make_frame(BCAST, "00:00:00:00:00:00", 20, 0x55);
		std::copy(frame.begin() + 6, frame.begin() + 12, fence.begin() + 6);
		ASSERT_EQ(krix_send(plugs[from], frame.data(), frame.size(), 0), (ssize_t)frame.size());
		ASSERT_EQ(krix_send(plugs[from], fence.data(), fence.size(), 0), (ssize_t)fence.size());
		for (int i = 0; i < (int)plugs.size(); i++) {
			if (i == from)
				continue;
			SCOPED_TRACE("plug " + std::to_string(i));
			Frame got;
			ASSERT_TRUE(plug_recv(plugs[i], &got));
			if (to & (1u << i)) {
				EXPECT_EQ(got, frame);
				ASSERT_TRUE(plug_recv(plugs[i], &got));
			}
			EXPECT_EQ(got, fence);
		}
		EXPECT_TRUE(plug_idle(plugs[from])) << "a frame came back to its sender";
	}
};

struct Delivery {
	const char *name;
	int from;
	const char *dst, *src;
	unsigned to; /* bit i: plug i receives it */
};

/* Connects to the control socket without saying hello. */
int raw_connect(const SwitchProc &sw)
{
	struct sockaddr_un sa = {};
	sa.sun_family = AF_UNIX;
	snprintf(sa.sun_path, sizeof(sa.sun_path), "%s/ctl", sw.dir.c_str());
	int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0)
		ADD_FAILURE() << "connect: " << strerror(errno);
	return fd;
}

/* Runs a second krix_switch to its end; returns its status and output. */
int run_switch(const std::string &args, std::string *out)
{
	std::string cmd = harness_bin("krix_switch") + " " + args + " 2>&1";
	FILE *p = popen(cmd.c_str(), "r");
	char buf[512];
	while (fgets(buf, sizeof(buf), p) != nullptr)
		*out += buf;
	int status = pclose(p);
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void sleep_ms(int ms)
{
	std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

TEST_F(SwitchTest, LearnsFloodsAndNeverSendsBack)
{
	start(3);
	const Delivery rows[] = {
		{"broadcast floods", 0, BCAST, MAC_A, 0b110},
		{"learned address goes to its port only", 1, MAC_A, MAC_B, 0b001},
		{"unknown address floods", 2, MAC_X, MAC_C, 0b011},
		{"address on the ingress port goes nowhere", 0, MAC_A, MAC_X, 0b000},
		{"group address floods", 2, GROUP, MAC_C, 0b011},
		{"each port learned apart", 0, MAC_B, MAC_A, 0b010},
		{"an address that moves is followed", 1, BCAST, MAC_A, 0b101},
		{"frames follow the move", 2, MAC_A, MAC_C, 0b010},
		{"a group source is not learned", 0, BCAST, GROUP, 0b110},
		{"so frames to it still flood", 1, GROUP, MAC_B, 0b101},
	};
	for (const Delivery &row : rows) {
		SCOPED_TRACE(row.name);
		expect_delivery(row.from, make_frame(row.dst, row.src, 64), row.to);
	}
}

TEST_F(SwitchTest, ForgetsAddressesAfterAgeing)
{
	start(3, {"-a", "0.2"});
	expect_delivery(0, make_frame(BCAST, MAC_A, 60), 0b110);
	expect_delivery(1, make_frame(MAC_A, MAC_B, 60), 0b001);
	sleep_ms(400);
	expect_delivery(1, make_frame(MAC_A, MAC_B, 60), 0b101);
}

TEST_F(SwitchTest, ForgetsAddressesOfAPortThatLeft)
{
	start(3);
	expect_delivery(0, make_frame(BCAST, MAC_A, 60), 0b110);
	krix_close(plugs[0]);
	ASSERT_TRUE(switch_log_has(sw, "port 1 (test:, pid"));
	plugs[0] = plug_open(sw, 1);
	ASSERT_NE(plugs[0], nullptr);
	/* The new plug on port 1 is not the old owner of MAC_A, but a frame
	 * to MAC_A must reach it by flooding, not by a stale entry alone. */
	expect_delivery(1, make_frame(MAC_A, MAC_B, 60), 0b101);
}

/* Frames outside 14..1526 bytes are dropped whole and counted. */
TEST_F(SwitchTest, DropsAndCountsFramesOfSizesNotCarried)
{
	start(2);
	struct Row {
		size_t len;
		bool carried;
	};
	const Row rows[] = {{0, false},   {13, false},   {14, true},
			    {1526, true}, {1527, false}, {4000, false}};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.len);
		Frame f = make_frame(BCAST, MAC_A, row.len);
		expect_delivery(0, f, row.carried ? 0b10 : 0b00);
	}
	EXPECT_EQ(switch_stop(&sw, SIGTERM), 0);
	PortCounters pc;
	ASSERT_TRUE(switch_port_counters(sw, 1, &pc));
	EXPECT_EQ(pc.bad, 4u);
	EXPECT_EQ(pc.rx, 2u + std::size(rows)) << "the carried frames and one fence per row";
}

/* A plug that never reads loses frames; the others lose none. */
TEST_F(SwitchTest, StuckPlugDoesNotStopTheOthers)
{
	start(3);
	const int BURST = 64, BURSTS = 80; /* far beyond the stuck plug's buffer */
	for (int b = 0; b < BURSTS; b++) {
		for (int i = 0; i < BURST; i++) {
			Frame f = make_frame(BCAST, MAC_B, 1000, (uint8_t)i);
			ASSERT_EQ(krix_send(plugs[1], f.data(), f.size(), 0), 1000);
		}
		for (int i = 0; i < BURST; i++) {
			Frame got;
			ASSERT_TRUE(plug_recv(plugs[2], &got)) << "burst " << b << " frame " << i;
			ASSERT_EQ(got, make_frame(BCAST, MAC_B, 1000, (uint8_t)i));
		}
	}
	EXPECT_EQ(switch_stop(&sw, SIGTERM), 0);
	PortCounters stuck, reader;
	ASSERT_TRUE(switch_port_counters(sw, 1, &stuck));
	ASSERT_TRUE(switch_port_counters(sw, 3, &reader));
	EXPECT_GT(stuck.dropped, 0u);
	EXPECT_EQ(stuck.tx + stuck.dropped, (unsigned long long)BURST * BURSTS);
	EXPECT_EQ(reader.tx, (unsigned long long)BURST * BURSTS);
	EXPECT_EQ(reader.dropped, 0u);
}

/* A plug that leaves with frames from the switch unread still has every
 * frame it sent before leaving delivered. */
TEST_F(SwitchTest, FramesSentBeforeLeavingArriveAfterAnUnreadQueue)
{
	start(2);
	const int FRAMES = 100;
	/* Something waits unread in plug 0's queue when it closes. */
	Frame unread = make_frame(BCAST, MAC_B, 60);
	ASSERT_EQ(krix_send(plugs[1], unread.data(), unread.size(), 0), 60);
	struct pollfd pfd = {krix_datafd(plugs[0]), POLLIN, 0};
	ASSERT_EQ(poll(&pfd, 1, 2000), 1);
	kill(sw.pid, SIGSTOP);
	for (int i = 0; i < FRAMES; i++) {
		Frame f = make_frame(MAC_B, MAC_A, 64, (uint8_t)i);
		ASSERT_EQ(krix_send(plugs[0], f.data(), f.size(), 0), 64);
	}
	krix_close(plugs[0]);
	plugs[0] = nullptr;
	kill(sw.pid, SIGCONT);
	for (int i = 0; i < FRAMES; i++) {
		Frame got;
		ASSERT_TRUE(plug_recv(plugs[1], &got)) << "frame " << i;
		ASSERT_EQ(got, make_frame(MAC_B, MAC_A, 64, (uint8_t)i));
	}
}

/* A plug gets the port it asks for, or the first free one. */
TEST_F(SwitchTest, AssignsRequestedOrFirstFreePort)
{
	start(0, {"-n", "3"});
	struct Row {
		const char *name;
		int want;
		int port; /* the port logged, or 0 when refused */
		int err;
	};
	const Row rows[] = {
		{"a free port asked for", 2, 2, 0},   {"the same port again", 2, 0, EADDRINUSE},
		{"first free", 0, 1, 0},              {"next free", 0, 3, 0},
		{"none free", 0, 0, EBUSY},           {"beyond the last port", 4, 0, EINVAL},
		{"negative", -1, 0, EINVAL},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		errno = 0;
		KRIXCONN *c = plug_open(sw, row.want);
		if (row.port == 0) {
			EXPECT_EQ(c, nullptr);
			EXPECT_EQ(errno, row.err) << strerror(errno);
			continue;
		}
		ASSERT_NE(c, nullptr) << strerror(errno);
		plugs.push_back(c);
		EXPECT_TRUE(switch_log_has(sw, "port " + std::to_string(row.port) + " attached"));
	}
	/* A port is free again once its plug has gone. */
	krix_close(plugs[0]);
	plugs.erase(plugs.begin());
	KRIXCONN *again = nullptr;
	for (int i = 0; i < 100 && again == nullptr; i++, sleep_ms(10))
		again = plug_open(sw, 2);
	EXPECT_NE(again, nullptr);
	plugs.push_back(again);
}

TEST_F(SwitchTest, SecondSwitchOnALiveDirectoryIsRefused)
{
	start(2);
	std::string out;
	EXPECT_EQ(run_switch("-s " + sw.dir, &out), 1);
	EXPECT_NE(out.find("another switch is already running on " + sw.dir), std::string::npos)
		<< out;
	expect_delivery(0, make_frame(BCAST, MAC_A, 60), 0b10);
}

TEST_F(SwitchTest, StaleSocketIsReplaced)
{
	start(0);
	EXPECT_EQ(switch_stop(&sw, SIGKILL), 128 + SIGKILL);
	ASSERT_EQ(access((sw.dir + "/ctl").c_str(), F_OK), 0);
	start(2);
	EXPECT_TRUE(switch_log_has(sw, "replacing the stale socket"));
	expect_delivery(0, make_frame(BCAST, MAC_A, 60), 0b10);
}

TEST_F(SwitchTest, DirectoryTakesTheModeAndIsRemovedAtStop)
{
	start(0, {"-m", "0750"});
	struct stat st;
	ASSERT_EQ(stat(sw.dir.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0750u);
	ASSERT_EQ(stat((sw.dir + "/ctl").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0640u);
	EXPECT_EQ(switch_stop(&sw, SIGINT), 0);
	EXPECT_NE(access(sw.dir.c_str(), F_OK), 0);
}

/* Anything but a good hello costs only its own connection. */
TEST_F(SwitchTest, MalformedHellosDropOnlyTheirConnection)
{
	start(2);
	KrixHello good = {};
	good.magic = KRIX_MAGIC;
	good.version = 1;
	struct Row {
		const char *name;
		std::vector<uint8_t> msg;
		const char *logged;
		int reply; /* errno answered before the close, or 0 for none */
	};
	auto bytes = [](const void *p, size_t n) {
		const auto *b = static_cast<const uint8_t *>(p);
		return std::vector<uint8_t>(b, b + n);
	};
	KrixHello bad_magic = good, bad_version = good;
	bad_magic.magic = 0x4b524959;
	bad_version.version = 2;
	std::vector<uint8_t> longer = bytes(&good, sizeof(good));
	longer.resize(sizeof(good) + 10);
	std::vector<uint8_t> garbage(sizeof(good));
	for (size_t i = 0; i < garbage.size(); i++)
		garbage[i] = (uint8_t)(i * 37 + 11);
	const Row rows[] = {
		{"short", bytes(&good, 10), "malformed hello: 10 bytes", 0},
		{"long", longer, "malformed hello: 126 bytes", 0},
		{"bad magic", bytes(&bad_magic, sizeof(good)), "bad magic 0x4b524959", 0},
		{"garbage", garbage, "bad magic", 0},
		{"bad version", bytes(&bad_version, sizeof(good)), "interface version 2 refused",
		 EPROTONOSUPPORT},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		int fd = raw_connect(sw);
		ASSERT_EQ(send(fd, row.msg.data(), row.msg.size(), 0), (ssize_t)row.msg.size());
		struct timeval tv = {2, 0};
		setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
		KrixReply r = {};
		if (row.reply != 0) {
			ASSERT_EQ(recv(fd, &r, sizeof(r), 0), (ssize_t)sizeof(r));
			EXPECT_EQ(r.error, row.reply);
		}
		EXPECT_EQ(recv(fd, &r, sizeof(r), 0), 0) << "connection not closed";
		close(fd);
		EXPECT_TRUE(switch_log_has(sw, row.logged));
	}
	expect_delivery(0, make_frame(BCAST, MAC_A, 60), 0b10);
}

/* Connections that never say hello, more than the switch keeps waiting,
 * hold up neither new plugs nor traffic. */
TEST_F(SwitchTest, SilentConnectionsDoNotHoldUpTheSwitch)
{
	start(2);
	std::vector<int> silent;
	for (int i = 0; i < 40; i++)
		silent.push_back(raw_connect(sw));
	KRIXCONN *late = plug_open(sw, 3);
	EXPECT_NE(late, nullptr) << strerror(errno);
	plugs.push_back(late);
	expect_delivery(0, make_frame(BCAST, MAC_A, 60), 0b110);
	for (int fd : silent)
		close(fd);
}
