// The VXLAN side on real sockets, with the switch side on the fake plug
// library. Every test builds its own pair of network namespaces:
//
//   namespace A (the bridge)               namespace B (a peer)
//   vxlan_open's socket, *:4879            peer socket *:4879, in 239.1.1.1
//   v0 198.18.0.1/24 ------- veth ------- v1 198.18.0.2/24
//   default route on v0                    default route on v1
//
// The test process moves into A before anything else is made and stays
// there, stepping into B only to make the peer's sockets (a socket stays in
// the namespace it was made in). Nothing is opened in the machine's own
// namespace. The process stays single-threaded, so the death tests fork in
// namespace A; the namespaces are removed in TearDown, or at exit or on a
// fatal signal by the process that made them.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_krixplug.h"
#include "log.h"
#include "switch.h"
#include "table.h"
#include "vxlan.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Mac = FakeMac;
using Lines = FakeLines;
constexpr Mac BCAST = FAKE_BCAST, GROUP_MAC = FAKE_GROUP_MAC, MAC_A = FAKE_MAC_A, MAC_B = FAKE_MAC_B;
constexpr int VNI = 42;
constexpr int PORT = 4879;
const char GROUP[] = "239.1.1.1";
const char BRIDGE_ADDR[] = "198.18.0.1";
const char PEER_ADDR[] = "198.18.0.2";
const std::string FROM_PEER = "VXLAN packet from 198.18.0.2";
constexpr int WAIT_MS = 2000;

// ---- namespaces ----------------------------------------------------------

// Plain arrays and syscalls only, so that the signal handler may use them.
char ns_paths[2][64];
pid_t ns_owner;

void ns_remove_all()
{
	for (char *path : ns_paths) {
		if (!*path)
			continue;
		umount2(path, MNT_DETACH);
		unlink(path);
		*path = '\0';
	}
}

void ns_remove_at_exit()
{
	// A death test's child runs the exit handlers too; the namespaces
	// belong to the parent.
	if (getpid() == ns_owner)
		ns_remove_all();
}

void ns_remove_on_signal(int sig)
{
	if (getpid() == ns_owner)
		ns_remove_all();
	signal(sig, SIG_DFL);
	raise(sig);
}

void ns_guard_once()
{
	static bool done;
	if (done)
		return;
	done = true;
	ns_owner = getpid();
	atexit(ns_remove_at_exit);
	for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGSEGV, SIGBUS})
		signal(sig, ns_remove_on_signal);
}

// ---- helpers ------------------------------------------------------------


Bytes make_datagram(const Bytes &header, const Bytes &frame)
{
	Bytes d = header;
	d.insert(d.end(), frame.begin(), frame.end());
	return d;
}

const Bytes HDR_42 = {0x08, 0, 0, 0, 0, 0, 0x2a, 0};


Lines from_peer_then(Lines rest)
{
	rest.insert(rest.begin(), FROM_PEER);
	return rest;
}


bool readable(int fd)
{
	struct pollfd p = {fd, POLLIN, 0};
	return poll(&p, 1, WAIT_MS) == 1 && (p.revents & POLLIN);
}

struct sockaddr_in addr_of(const char *ip, int port)
{
	struct sockaddr_in sa = {};
	sa.sin_family = AF_INET;
	sa.sin_port = htons(uint16_t(port));
	sa.sin_addr.s_addr = inet_addr(ip);
	return sa;
}

// One datagram read by a peer socket, with the address it was sent to.
struct Received {
	Bytes data;
	struct sockaddr_in from;
	struct in_addr to;
};

class VxlanTest : public testing::Test {
protected:
	void SetUp() override
	{
		ns_guard_once();
		static int serial;
		serial++;
		a = "krixvx" + std::to_string(getpid()) + "a" + std::to_string(serial);
		std::string b = "krixvx" + std::to_string(getpid()) + "b" + std::to_string(serial);
		snprintf(ns_paths[0], sizeof(ns_paths[0]), "/run/netns/%s", a.c_str());
		snprintf(ns_paths[1], sizeof(ns_paths[1]), "/run/netns/%s", b.c_str());
		std::string cmd = "set -e; ip netns add " + a + "; ip netns add " + b + "; ip -n " + a +
				  " link add v0 type veth peer name v1 netns " + b + "; ip -n " + a +
				  " addr add 198.18.0.1/24 dev v0; ip -n " + b + " addr add 198.18.0.2/24 dev v1; " +
				  "for n in " + a + " " + b + "; do ip -n $n link set lo up; done; ip -n " + a +
				  " link set v0 up; ip -n " + b + " link set v1 up; ip -n " + a +
				  " route add default dev v0; ip -n " + b + " route add default dev v1";
		ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
		host_ns = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
		ns_a = open(ns_paths[0], O_RDONLY | O_CLOEXEC);
		ns_b = open(ns_paths[1], O_RDONLY | O_CLOEXEC);
		ASSERT_GE(host_ns, 0);
		ASSERT_GE(ns_a, 0);
		ASSERT_GE(ns_b, 0);
		ASSERT_EQ(setns(ns_a, CLONE_NEWNET), 0) << strerror(errno);
		in_a = true;

		table_destroy();
		table_init(128);
		verbose = 1;
		use_syslog = 0;
		vxlan_id = VNI;
		vxlan_addr = inet_addr(GROUP);
		vxlan_port = PORT;
		vxlan_mttl = 1;
		vxlan_fd = -1;
		fake_plug_reset();
		switch_conn = nullptr;
		switch_open(nullptr, 0, set);
	}

	void TearDown() override
	{
		for (int fd : {vxlan_fd, peer, other})
			if (fd >= 0)
				close(fd);
		vxlan_fd = -1;
		fake_plug_reset();
		switch_conn = nullptr;
		table_destroy();
		if (in_a) {
			EXPECT_EQ(setns(host_ns, CLONE_NEWNET), 0);
		}
		for (int fd : {host_ns, ns_a, ns_b})
			if (fd >= 0)
				close(fd);
		ns_remove_all();
	}

	// A UDP socket made in namespace B and bound to port there; joined to
	// the group when asked. The process returns to A at once.
	int peer_socket(int port, bool join)
	{
		EXPECT_EQ(setns(ns_b, CLONE_NEWNET), 0);
		int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
		EXPECT_EQ(setns(ns_a, CLONE_NEWNET), 0);
		EXPECT_GE(s, 0);
		int on = 1;
		EXPECT_EQ(setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)), 0);
		struct sockaddr_in local = addr_of("0.0.0.0", port);
		EXPECT_EQ(bind(s, reinterpret_cast<sockaddr *>(&local), sizeof(local)), 0) << strerror(errno);
		if (join) {
			struct ip_mreq mreq = {};
			mreq.imr_multiaddr.s_addr = inet_addr(GROUP);
			EXPECT_EQ(setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)), 0);
			int off = 0;
			EXPECT_EQ(setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof(off)), 0);
		}
		return s;
	}

	// Opens the bridge's socket (in A) and the peer's, on the low 16 bits
	// of vxlan_port as the bridge should use them.
	void open_both()
	{
		vxlan_open(set);
		ASSERT_GE(vxlan_fd, 0);
		peer = peer_socket(vxlan_port & 0xffff, true);
	}

	void peer_send(int s, const Bytes &d, const char *to = GROUP)
	{
		struct sockaddr_in sa = addr_of(to, vxlan_port & 0xffff);
		ASSERT_EQ(sendto(s, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)),
			  ssize_t(d.size()))
			<< strerror(errno);
	}

	// The bridge takes the one datagram waiting for it; returns its log.
	Lines bridge_takes()
	{
		// Checked first: the bridge's receive would wait for ever.
		if (!readable(vxlan_fd))
			return {"(no datagram reached the bridge)"};
		return fake_logged(vxlan_on_datagram);
	}

	// The bridge takes one frame from the fake switch; returns its log.
	Lines switch_sends(const Bytes &frame)
	{
		EXPECT_EQ(send(fake_plug_switch_fd(), frame.data(), frame.size(), 0), ssize_t(frame.size()));
		return fake_logged(switch_on_frame);
	}

	Received peer_receives(int s)
	{
		Received r = {Bytes(2048), {}, {}};
		EXPECT_TRUE(readable(s)) << "no datagram reached the peer";
		struct iovec iov = {r.data.data(), r.data.size()};
		char control[256];
		struct msghdr msg = {};
		msg.msg_name = &r.from;
		msg.msg_namelen = sizeof(r.from);
		msg.msg_iov = &iov;
		msg.msg_iovlen = 1;
		msg.msg_control = control;
		msg.msg_controllen = sizeof(control);
		ssize_t n = recvmsg(s, &msg, MSG_DONTWAIT);
		r.data.resize(n > 0 ? size_t(n) : 0);
		for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
			if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
				r.to = reinterpret_cast<in_pktinfo *>(CMSG_DATA(c))->ipi_addr;
		return r;
	}

	// The frame that the bridge handed to the switch, or none.
	Bytes delivered()
	{
		Bytes f(4096);
		ssize_t n = recv(fake_plug_switch_fd(), f.data(), f.size(), MSG_DONTWAIT);
		f.resize(n > 0 ? size_t(n) : 0);
		if (n < 0)
			f.clear();
		return f;
	}

	PollSet set = {};
	std::string a; // the name of namespace A
	int host_ns = -1, ns_a = -1, ns_b = -1;
	bool in_a = false;
	int peer = -1;  // in B, on vxlan_port, in the group
	int other = -1; // in B, on another port
};

std::string addr_text(struct in_addr a)
{
	return inet_ntoa(a);
}

// ---- sending ------------------------------------------------------------

TEST_F(VxlanTest, SentDatagramIsTheHeaderThenTheWholeFrameFromTheBoundPortToTheGroup)
{
	struct Row {
		const char *name;
		int vni;
		size_t frame_len;
		Bytes header;
	};
	const Row rows[] = {
		{"VNI 42", 42, 60, HDR_42},
		{"VNI 0x010203, longest frame", 0x010203, RECV_MAX, {0x08, 0, 0, 0, 0x01, 0x02, 0x03, 0}},
		{"VNI beyond 24 bits sends its low 24", 0x5a010203, 60, {0x08, 0, 0, 0, 0x01, 0x02, 0x03, 0}},
		{"negative VNI sends its low 24", -2, 60, {0x08, 0, 0, 0, 0xff, 0xff, 0xfe, 0}},
	};
	open_both();
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		vxlan_id = row.vni;
		Bytes frame = fake_frame(BCAST, MAC_A, row.frame_len);
		EXPECT_EQ(switch_sends(frame), (Lines{"KRIX packet", "Broadcast send"}));

		Received r = peer_receives(peer);
		EXPECT_EQ(r.data.size(), row.frame_len + VXLAN_HDR_LEN);
		EXPECT_EQ(r.data, make_datagram(row.header, frame));
		EXPECT_EQ(addr_text(r.from.sin_addr), BRIDGE_ADDR);
		EXPECT_EQ(ntohs(r.from.sin_port), PORT);
		EXPECT_EQ(addr_text(r.to), GROUP);
	}
}

TEST_F(VxlanTest, OpenSetsTtlAndNoLoopBackOnABlockingSocketAndNothingElse)
{
	vxlan_mttl = 5;
	vxlan_open(set);
	ASSERT_GE(vxlan_fd, 0);
	EXPECT_EQ(set[POLL_VXLAN].fd, vxlan_fd);
	EXPECT_EQ(set[POLL_VXLAN].events, POLLIN | POLLHUP);

	int fresh = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	ASSERT_GE(fresh, 0);
	struct Opt {
		const char *name;
		int level;
		int option;
		int expected; // -1: as on a fresh socket
	};
	const Opt opts[] = {
		{"TTL", IPPROTO_IP, IP_MULTICAST_TTL, 5},   {"LOOP", IPPROTO_IP, IP_MULTICAST_LOOP, 0},
		{"REUSEADDR", SOL_SOCKET, SO_REUSEADDR, 0}, {"REUSEPORT", SOL_SOCKET, SO_REUSEPORT, 0},
		{"RCVBUF", SOL_SOCKET, SO_RCVBUF, -1},      {"SNDBUF", SOL_SOCKET, SO_SNDBUF, -1},
	};
	for (const Opt &o : opts) {
		SCOPED_TRACE(o.name);
		int got = -7, base = -7;
		socklen_t len = sizeof(got);
		ASSERT_EQ(getsockopt(vxlan_fd, o.level, o.option, &got, &len), 0);
		len = sizeof(base);
		ASSERT_EQ(getsockopt(fresh, o.level, o.option, &base, &len), 0);
		EXPECT_EQ(got, o.expected == -1 ? base : o.expected);
	}
	close(fresh);
	EXPECT_FALSE(fcntl(vxlan_fd, F_GETFL) & O_NONBLOCK);

	struct sockaddr_in local = {};
	socklen_t len = sizeof(local);
	ASSERT_EQ(getsockname(vxlan_fd, reinterpret_cast<sockaddr *>(&local), &len), 0);
	EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_ANY));
	EXPECT_EQ(ntohs(local.sin_port), PORT);
}

// ---- receiving ----------------------------------------------------------

TEST_F(VxlanTest, HeaderIsCheckedBeforeAnythingIsLearned)
{
	struct Row {
		const char *name;
		int vxlan_id;
		Bytes header;
		Lines lines; // after the "VXLAN packet from" line
	};
	const Row rows[] = {
		{"flags 0x0C", VNI, {0x0c, 0, 0, 0, 0, 0, 0x2a, 0}, {"Invalid flags"}},
		{"flags 0x00", VNI, {0x00, 0, 0, 0, 0, 0, 0x2a, 0}, {"Invalid flags"}},
		{"reserved bytes are not looked at", VNI, {0x08, 0xff, 0xff, 0xff, 0, 0, 0x2a, 0xff}, {"Broadcast send"}},
		{"another VNI", VNI, {0x08, 0, 0, 0, 0, 0, 0x2b, 0}, {"Invalid VNI"}},
		{"a VNI that differs in its top byte", VNI, {0x08, 0, 0, 0, 0x01, 0, 0x2a, 0}, {"Invalid VNI"}},
		{"a setting beyond 24 bits never matches", 0x0100002a, HDR_42, {"Invalid VNI"}},
		{"a negative setting never matches", -1, {0x08, 0, 0, 0, 0xff, 0xff, 0xff, 0}, {"Invalid VNI"}},
	};
	open_both();
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		table_destroy();
		table_init(128);
		vxlan_id = row.vxlan_id;
		Bytes frame = fake_frame(BCAST, MAC_A, 60);
		peer_send(peer, make_datagram(row.header, frame));

		EXPECT_EQ(bridge_takes(), from_peer_then(row.lines));
		bool accepted = row.lines[0] == "Broadcast send";
		EXPECT_EQ(delivered(), accepted ? frame : Bytes{});
		if (accepted)
			EXPECT_EQ(table_find(MAC_A.data(), vxlan_id), inet_addr(PEER_ADDR));
		else
			EXPECT_TRUE(fake_table_is_empty());
	}
}

TEST_F(VxlanTest, AcceptedDatagramLearnsItsSenderAndOnlyBroadcastOrSwitchDestinationsAreDelivered)
{
	struct Row {
		const char *name;
		Mac dst;
		uint32_t dst_learned_at; // 0: not in the table
		Lines lines;             // after the "VXLAN packet from" line
		bool delivered;
	};
	const Row rows[] = {
		{"broadcast", BCAST, 0, {"Broadcast send"}, true},
		{"behind the switch", MAC_B, DEST_SWITCH, {"Send to KRIX"}, true},
		{"not learned", MAC_B, 0, {"Not found"}, false},
		{"group address not learned", GROUP_MAC, 0, {"Not found"}, false},
		{"behind another endpoint", MAC_B, inet_addr("198.18.0.9"), {"Drop"}, false},
	};
	open_both();
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		table_destroy();
		table_init(128);
		if (row.dst_learned_at)
			table_learn(row.dst.data(), VNI, row.dst_learned_at);
		Bytes frame = fake_frame(row.dst, MAC_A, 100);
		peer_send(peer, make_datagram(HDR_42, frame));

		EXPECT_EQ(bridge_takes(), from_peer_then(row.lines));
		EXPECT_EQ(delivered(), row.delivered ? frame : Bytes{});
		EXPECT_EQ(table_find(MAC_A.data(), VNI), inet_addr(PEER_ADDR));
	}
}

TEST_F(VxlanTest, BroadcastIsLoggedBeforeDeliveryAndSwitchDestinationAfterIt)
{
	struct Row {
		const char *name;
		Mac dst;
		Lines lines;
	};
	const Row rows[] = {
		{"broadcast", BCAST, {"Broadcast send", "krix_send(): Broken pipe"}},
		{"behind the switch", MAC_B, {"krix_send(): Broken pipe", "Send to KRIX"}},
	};
	open_both();
	table_learn(MAC_B.data(), VNI, DEST_SWITCH);
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		Bytes frame = fake_frame(row.dst, MAC_A, 60);
		fake_plug_fail_next_send(EPIPE);
		peer_send(peer, make_datagram(HDR_42, frame));
		EXPECT_EQ(bridge_takes(), from_peer_then(row.lines));
		EXPECT_EQ(delivered(), Bytes{});

		// The failure was for that frame alone.
		peer_send(peer, make_datagram(HDR_42, frame));
		bridge_takes();
		EXPECT_EQ(delivered(), frame);
	}
}

TEST_F(VxlanTest, UnicastFromAnyPortIsLearnedAndAnsweredByUnicastToVxlanPort)
{
	open_both();
	other = peer_socket(40000, false);
	Bytes from_b = fake_frame(BCAST, MAC_B, 60);
	peer_send(other, make_datagram(HDR_42, from_b), BRIDGE_ADDR);
	EXPECT_EQ(bridge_takes(), from_peer_then({"Broadcast send"}));
	EXPECT_EQ(delivered(), from_b);
	EXPECT_EQ(table_find(MAC_B.data(), VNI), inet_addr(PEER_ADDR));

	Bytes to_b = fake_frame(MAC_B, MAC_A, 60);
	EXPECT_EQ(switch_sends(to_b), (Lines{"KRIX packet", "Send to 198.18.0.2"}));
	Received r = peer_receives(peer);
	EXPECT_EQ(r.data, make_datagram(HDR_42, to_b));
	EXPECT_EQ(addr_text(r.to), PEER_ADDR);
	EXPECT_EQ(ntohs(r.from.sin_port), PORT);
}

TEST_F(VxlanTest, DatagramLongerThanTheReceiveLimitIsCutTo1518FrameBytes)
{
	open_both();
	Bytes frame = fake_frame(BCAST, MAC_A, 1600);
	peer_send(peer, make_datagram(HDR_42, frame));
	EXPECT_EQ(bridge_takes(), from_peer_then({"Broadcast send"}));
	EXPECT_EQ(delivered(), Bytes(frame.begin(), frame.begin() + 1518));
	EXPECT_EQ(fake_plug_calls().back().len, 1518u);
}

TEST_F(VxlanTest, PortAbove65535IsUsedByItsLow16Bits)
{
	// A low half with its top bit set, so that no bit of it may be lost.
	vxlan_port = 3 * 65536 + 48879;
	open_both();
	peer_send(peer, make_datagram(HDR_42, fake_frame(BCAST, MAC_B, 60)));
	EXPECT_EQ(bridge_takes(), from_peer_then({"Broadcast send"}));

	Bytes frame = fake_frame(BCAST, MAC_A, 60);
	EXPECT_EQ(switch_sends(frame), (Lines{"KRIX packet", "Broadcast send"}));
	Received r = peer_receives(peer);
	EXPECT_EQ(r.data, make_datagram(HDR_42, frame));
	EXPECT_EQ(ntohs(r.from.sin_port), 48879);
}

TEST_F(VxlanTest, ShortDatagramsAreDroppedBeforeAnyCheck)
{
	open_both();
	const Bytes whole = make_datagram(HDR_42, fake_frame(BCAST, MAC_A, 60));
	for (size_t n = 0; n < 22; n++) {
		SCOPED_TRACE(n);
		peer_send(peer, Bytes(whole.begin(), whole.begin() + long(n)));
		EXPECT_EQ(bridge_takes(), from_peer_then({"Short packet dropped (" + std::to_string(n) + " bytes)"}));
		EXPECT_EQ(delivered(), Bytes{});
		EXPECT_TRUE(fake_table_is_empty());
	}
	// The shortest datagram that is handled: header and Ethernet header.
	peer_send(peer, Bytes(whole.begin(), whole.begin() + 22));
	EXPECT_EQ(bridge_takes(), from_peer_then({"Broadcast send"}));
	EXPECT_EQ(delivered(), Bytes(whole.begin() + 8, whole.begin() + 22));
}

// 0.0.0.0 would read as "not learned" in the table. A datagram sent to the
// group over the loopback device of a namespace that has no address but the
// loopback's arrives with that sender address.
TEST_F(VxlanTest, SenderWithoutAnAddressIsNotLearned)
{
	std::string cmd = "ip -n " + a + " addr flush dev v0 && ip -n " + a + " route replace default dev lo";
	ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
	vxlan_open(set);
	ASSERT_GE(vxlan_fd, 0);
	other = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	int off = 0;
	ASSERT_EQ(setsockopt(other, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof(off)), 0);

	peer_send(other, make_datagram(HDR_42, fake_frame(BCAST, MAC_A, 60)));
	EXPECT_EQ(bridge_takes(), (Lines{"VXLAN packet from 0.0.0.0", "Invalid sender"}));
	EXPECT_EQ(delivered(), Bytes{});
	EXPECT_TRUE(fake_table_is_empty());
}

// ---- set-up and leaving -------------------------------------------------

// Runs in the dying child, at exit: a failed set-up must leave vxlan_fd at
// -1, so that the exit clean-up does not try to leave the group.
void report_vxlan_fd()
{
	fprintf(stderr, "vxlan_fd %d\n", vxlan_fd);
}

TEST_F(VxlanTest, FailedSetUpEndsWithStatus1AndItsMessage)
{
	struct Row {
		const char *name;
		const char *group;
		int ttl;
		bool port_taken;
		const char *message;
	};
	const Row rows[] = {
		{"port taken", GROUP, 1, true, "bind\\(\\): Address already in use"},
		{"group not multicast", "198.18.0.7", 1, false, "setsockopt\\(ADD\\): Invalid argument"},
		{"ttl refused", GROUP, 256, false, "setsockopt\\(TTL\\): Invalid argument"},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		vxlan_addr = inet_addr(row.group);
		vxlan_mttl = row.ttl;
		// Another endpoint on this host and port, in namespace A.
		int blocker = -1;
		if (row.port_taken) {
			blocker = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
			struct sockaddr_in local = addr_of("0.0.0.0", PORT);
			ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&local), sizeof(local)), 0);
		}
		EXPECT_EXIT(
			{
				atexit(report_vxlan_fd);
				vxlan_open(set);
			},
			testing::ExitedWithCode(1), std::string("^krix_vxlan: ") + row.message + "\nvxlan_fd -1\n$");
		if (blocker >= 0)
			close(blocker);
	}
}

TEST_F(VxlanTest, CloseLeavesTheGroupAndEndsWithStatus1WhenLeavingFails)
{
	// Never opened: nothing to leave.
	EXPECT_EQ(fake_logged(vxlan_close), Lines{});

	open_both();
	int fd = vxlan_fd;
	EXPECT_EQ(fake_logged(vxlan_close), Lines{});
	EXPECT_EQ(vxlan_fd, fd);
	EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the socket was not closed";
	vxlan_fd = -1;
	close(peer);

	// The group is already left when vxlan_close tries to leave it.
	open_both();
	struct ip_mreq mreq = {};
	mreq.imr_multiaddr.s_addr = inet_addr(GROUP);
	ASSERT_EQ(setsockopt(vxlan_fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &mreq, sizeof(mreq)), 0);
	EXPECT_EXIT(vxlan_close(), testing::ExitedWithCode(1),
		    "^krix_vxlan: setsockopt\\(DROP\\): Cannot assign requested address\n$");
}

} // namespace
