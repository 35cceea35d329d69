// The switch side on the fake plug library. No socket of the network is
// made here: vxlan_fd stays -1, so every send that the frame handler starts
// shows up as "sendto(): Bad file descriptor" right where it happens in the
// log, and no such line means nothing was sent. What leaves on the wire is
// checked in vxlan_test.

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_krixplug.h"
#include "log.h"
#include "switch.h"
#include "table.h"
#include "vxlan.h"

namespace {

using Mac = FakeMac;
using Lines = FakeLines;
constexpr Mac BCAST = FAKE_BCAST, GROUP_MAC = FAKE_GROUP_MAC, MAC_A = FAKE_MAC_A, MAC_B = FAKE_MAC_B;
constexpr int VNI = 42;
const std::string SEND_TRIED = "sendto(): Bad file descriptor";




class SwitchTest : public testing::Test {
protected:
	void SetUp() override
	{
		fake_plug_reset();
		switch_conn = nullptr;
		table_destroy();
		table_init(128);
		verbose = 1;
		use_syslog = 0;
		vxlan_fd = -1;
		vxlan_id = VNI;
		vxlan_addr = inet_addr("239.1.1.1");
	}
	void TearDown() override
	{
		fake_plug_reset();
		switch_conn = nullptr;
		table_destroy();
	}
	void open_switch() { switch_open(nullptr, 0, set); }
	void feed(const std::vector<uint8_t> &frame)
	{
		ASSERT_EQ(send(fake_plug_switch_fd(), frame.data(), frame.size(), 0), ssize_t(frame.size()));
	}

	PollSet set = {};
};

TEST_F(SwitchTest, OpenHandsOverPortNoGroupMode0700DescriptionAndVersion)
{
	struct Row {
		const char *name;
		const char *sock;
		int port;
	};
	const Row rows[] = {
		{"no path, no port", nullptr, 0},
		{"path and port", "/tmp/krix-test-switch", 5},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		fake_plug_reset();
		switch_open(row.sock, row.port, set);

		const auto &calls = fake_plug_calls();
		ASSERT_EQ(fake_plug_call_summary(), "krix_open_real krix_ctlfd(conn) krix_datafd(conn)");
		EXPECT_EQ(calls[0].sock_null, row.sock == nullptr);
		EXPECT_EQ(calls[0].sock, row.sock ? row.sock : "");
		EXPECT_FALSE(calls[0].descr_null);
		EXPECT_EQ(calls[0].descr, "krix_vxlan:");
		EXPECT_EQ(calls[0].version, 1);
		ASSERT_FALSE(calls[0].args_null);
		EXPECT_EQ(calls[0].args.port, row.port);
		EXPECT_EQ(calls[0].args.group, nullptr);
		EXPECT_EQ(calls[0].args.mode, mode_t(0700));
		EXPECT_NE(switch_conn, nullptr);
	}
}

TEST_F(SwitchTest, OpenFillsControlThenDataEntryAndCloseKeepsTheHandle)
{
	open_switch();
	EXPECT_EQ(set[POLL_SWITCH_CTL].events, POLLIN | POLLHUP);
	EXPECT_EQ(set[POLL_SWITCH_DATA].events, POLLIN | POLLHUP);

	// Only the control channel hangs up, only the data channel has a frame.
	fake_plug_hang_up_ctl();
	feed(fake_frame(BCAST, MAC_A, 60));
	ASSERT_EQ(poll(set, 2, 1000), 2);
	EXPECT_TRUE(set[POLL_SWITCH_CTL].revents & POLLHUP);
	EXPECT_EQ(set[POLL_SWITCH_DATA].revents, POLLIN);

	KRIXCONN *conn = switch_conn;
	switch_close();
	EXPECT_EQ(fake_plug_call_summary(), "krix_open_real krix_ctlfd(conn) krix_datafd(conn) krix_close(conn)");
	EXPECT_EQ(switch_conn, conn);
	fake_plug_reset();
}

// Runs in the dying child, where the program's exit clean-up would close the
// switch connection: the handle left by the failed open must be null.
void close_and_report_calls()
{
	switch_close();
	fprintf(stderr, "calls: %s\n", fake_plug_call_summary().c_str());
}

TEST_F(SwitchTest, FailedOpenNamesThePathEndsWithStatus1AndLeavesANullHandle)
{
	struct Row {
		const char *name;
		const char *sock;
		int err;
		const char *message;
	};
	const Row rows[] = {
		{"no path", nullptr, ENOENT, "krix_open\\(\"DEF_SWITCH\"\\): No such file or directory"},
		{"a path", "/tmp/krix-test-switch", ECONNREFUSED,
		 "krix_open\\(\"/tmp/krix-test-switch\"\\): Connection refused"},
	};
	verbose = 0;
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		fake_plug_fail_open(row.err);
		EXPECT_EXIT(
			{
				atexit(close_and_report_calls);
				switch_open(row.sock, 7, set);
			},
			testing::ExitedWithCode(1),
			std::string("^krix_vxlan: ") + row.message + "\ncalls: krix_open_real krix_close\\(null\\)\n$");
	}
}

TEST_F(SwitchTest, EachFrameIsLearnedBehindTheSwitchThenForwardedByItsDestination)
{
	struct Row {
		const char *name;
		Mac dst;
		Mac src;
		uint32_t dst_learned_at; // 0: dst not in the table
		size_t len;
		Lines lines;
	};
	const Row rows[] = {
		{"broadcast goes to the group whatever the table holds", BCAST, MAC_A, DEST_SWITCH, 60,
		 {"KRIX packet", "Broadcast send", SEND_TRIED}},
		{"other group address is flooded like unknown unicast", GROUP_MAC, MAC_A, 0, 60,
		 {"KRIX packet", "Multicast send", SEND_TRIED}},
		{"unknown unicast is flooded", MAC_B, MAC_A, 0, 60, {"KRIX packet", "Multicast send", SEND_TRIED}},
		{"twelve bytes are enough to forward", MAC_B, MAC_A, 0, 12,
		 {"KRIX packet", "Multicast send", SEND_TRIED}},
		{"a broadcast source is learned like any other", MAC_B, BCAST, 0, 60,
		 {"KRIX packet", "Multicast send", SEND_TRIED}},
		{"learned at a peer goes there", MAC_B, MAC_A, inet_addr("198.18.0.9"), 60,
		 {"KRIX packet", "Send to 198.18.0.9", SEND_TRIED}},
		{"a peer address with the top bit set is a peer", MAC_B, MAC_A, 0xfffffffeU, 60,
		 {"KRIX packet", "Send to 254.255.255.255", SEND_TRIED}},
		{"learned behind the switch goes nowhere", MAC_B, MAC_A, DEST_SWITCH, 60, {"KRIX packet"}},
		{"to itself: learned first, so goes nowhere", MAC_A, MAC_A, 0, 60, {"KRIX packet"}},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		SetUp();
		open_switch();
		if (row.dst_learned_at)
			table_learn(row.dst.data(), VNI, row.dst_learned_at);
		feed(fake_frame(row.dst, row.src, row.len));

		EXPECT_EQ(fake_logged(switch_on_frame), row.lines);
		EXPECT_EQ(table_find(row.src.data(), VNI), DEST_SWITCH);
		const FakePlugCall &recv_call = fake_plug_calls().back();
		EXPECT_EQ(recv_call.name, "krix_recv");
		EXPECT_EQ(recv_call.len, RECV_MAX);
		EXPECT_EQ(recv_call.flags, 0);
	}
}

TEST_F(SwitchTest, FramesShorterThanTwoAddressesAreDroppedUnlearned)
{
	open_switch();
	const std::vector<uint8_t> whole = fake_frame(BCAST, MAC_A, 60);
	for (size_t n = 0; n < 12; n++) {
		SCOPED_TRACE(n);
		feed(std::vector<uint8_t>(whole.begin(), whole.begin() + long(n)));
		EXPECT_EQ(fake_logged(switch_on_frame),
			  (Lines{"KRIX packet", "Short frame dropped (" + std::to_string(n) + " bytes)"}));
		EXPECT_TRUE(fake_table_is_empty());
	}
}

TEST_F(SwitchTest, FailedReceiveIsLoggedOnceAndTheNextFrameGoesThrough)
{
	open_switch();
	feed(fake_frame(MAC_B, MAC_A, 60));
	fake_plug_fail_next_recv(EIO);
	EXPECT_EQ(fake_logged(switch_on_frame), Lines{"krix_recv(): Input/output error"});
	EXPECT_TRUE(fake_table_is_empty());

	EXPECT_EQ(fake_logged(switch_on_frame), (Lines{"KRIX packet", "Multicast send", SEND_TRIED}));
	EXPECT_EQ(table_find(MAC_A.data(), VNI), DEST_SWITCH);
}

TEST_F(SwitchTest, FailedDeliveryIsLoggedOnceAndTheNextFrameReachesTheSwitch)
{
	open_switch();
	const std::vector<uint8_t> frame = fake_frame(MAC_B, MAC_A, 60);
	fake_plug_fail_next_send(EPIPE);
	EXPECT_EQ(fake_logged([&] { switch_deliver(frame.data(), frame.size()); }), Lines{"krix_send(): Broken pipe"});
	EXPECT_EQ(fake_logged([&] { switch_deliver(frame.data(), frame.size()); }), Lines{});

	std::vector<uint8_t> got(RECV_MAX);
	ssize_t n = recv(fake_plug_switch_fd(), got.data(), got.size(), MSG_DONTWAIT);
	ASSERT_EQ(n, ssize_t(frame.size()));
	got.resize(size_t(n));
	EXPECT_EQ(got, frame);
	EXPECT_EQ(recv(fake_plug_switch_fd(), got.data(), got.size(), MSG_DONTWAIT), -1);
	EXPECT_EQ(fake_plug_calls().back().len, frame.size());
	EXPECT_EQ(fake_plug_calls().back().flags, 0);
}

} // namespace
