/*
 * plug_test.cpp: the contract of libkrixplug, against the real switch and,
 * where the switch's answers must be bent, against a fake control socket.
 */
#include "krix_wire.h"
#include "switch_harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char *BCAST = "ff:ff:ff:ff:ff:ff";
const char *MAC_A = "02:00:00:00:00:0a";
const char *MAC_B = "02:00:00:00:00:0b";

class PlugTest : public ::testing::Test {
protected:
	SwitchProc sw;
	void TearDown() override { switch_cleanup(&sw); }
};

/* A listening control socket with nothing behind it but the test. */
int fake_listen(const std::string &dir)
{
	struct sockaddr_un sa = {};
	sa.sun_family = AF_UNIX;
	snprintf(sa.sun_path, sizeof(sa.sun_path), "%s/ctl", dir.c_str());
	mkdir(dir.c_str(), 0700);
	int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (bind(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0 || listen(fd, 4) < 0)
		ADD_FAILURE() << "fake switch: " << strerror(errno);
	return fd;
}

void send_reply(int fd, const void *buf, size_t len, int pass_fd)
{
	union {
		struct cmsghdr align;
		char buf[CMSG_SPACE(sizeof(int))];
	} cm = {};
	struct iovec iov = {const_cast<void *>(buf), len};
	struct msghdr msg = {};
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	if (pass_fd >= 0) {
		msg.msg_control = cm.buf;
		msg.msg_controllen = sizeof(cm.buf);
		struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
		c->cmsg_level = SOL_SOCKET;
		c->cmsg_type = SCM_RIGHTS;
		c->cmsg_len = CMSG_LEN(sizeof(int));
		memcpy(CMSG_DATA(c), &pass_fd, sizeof(int));
	}
	sendmsg(fd, &msg, MSG_NOSIGNAL);
}

short poll_one(int fd, int timeout_ms)
{
	struct pollfd pfd = {fd, POLLIN, 0};
	return poll(&pfd, 1, timeout_ms) == 1 ? pfd.revents : 0;
}

} // namespace

TEST(PlugClose, NullHandleIsHarmless)
{
	EXPECT_EQ(krix_close(nullptr), 0);
	EXPECT_EQ(krix_ctlfd(nullptr), -1);
	EXPECT_EQ(krix_datafd(nullptr), -1);
	char b[14];
	EXPECT_EQ(krix_send(nullptr, b, sizeof(b), 0), -1);
	EXPECT_EQ(krix_recv(nullptr, b, sizeof(b), 0), -1);
}

/* Failures that need no switch: the errno tells the caller why. */
TEST_F(PlugTest, OpenFailsWithErrnoSayingWhy)
{
	harness_tmp(&sw);
	std::string stale = sw.tmp + "/stale";
	int l = fake_listen(stale);
	close(l); /* the socket file stays, nobody listens: a dead switch */
	std::string live = sw.tmp + "/live";
	int live_fd = fake_listen(live);

	struct Row {
		const char *name;
		std::string sock;
		int version;
		int err;
	};
	const Row rows[] = {
		{"no such directory", sw.tmp + "/none", 1, ENOENT},
		{"directory without a switch", sw.tmp, 1, ENOENT},
		{"socket of a dead switch", stale, 1, ECONNREFUSED},
		{"interface version 0", live, 0, EPROTONOSUPPORT},
		{"interface version 2", live, 2, EPROTONOSUPPORT},
		{"path too long", std::string(200, 'x'), 1, ENAMETOOLONG},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		SwitchOpenArgs args = {0, nullptr, 0700};
		errno = 0;
		EXPECT_EQ(krix_open_real(row.sock.c_str(), "t", row.version, &args), nullptr);
		EXPECT_EQ(errno, row.err) << strerror(errno);
	}
	/* A refused version is refused before anything is contacted. */
	EXPECT_EQ(poll_one(live_fd, 0), 0);
	close(live_fd);
}

TEST_F(PlugTest, OpenIsRefusedWhereTheDirectoryForbidsIt)
{
	ASSERT_TRUE(switch_start(&sw, {"-m", "0700"}));
	pid_t pid = fork();
	if (pid == 0) {
		/* Root passes any permission check, so the child drops to nobody;
		 * anyone else is kept out by the directory's own mode. */
		if (geteuid() == 0 ? setuid(65534) != 0 : chmod(sw.dir.c_str(), 0) != 0)
			_exit(2);
		KRIXCONN *c = plug_open(sw);
		_exit(c == nullptr && errno == EACCES ? 0 : 1);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

/* The switch's answers as this library must read them. */
TEST_F(PlugTest, OpenReadsTheSwitchReply)
{
	struct Row {
		const char *name;
		std::function<void(int)> answer;
		int err; /* 0: the open succeeds */
	};
	const Row rows[] = {
		{"closed without a reply", [](int) {}, EPROTO},
		{"reply too short", [](int fd) { send_reply(fd, "KRIX", 4, -1); }, EPROTO},
		{"bad magic",
		 [](int fd) {
			 KrixReply r = {0x12345678, 0, 1};
			 send_reply(fd, &r, sizeof(r), -1);
		 },
		 EPROTO},
		{"reply too long",
		 [](int fd) {
			 struct {
				 KrixReply r;
				 uint32_t extra;
			 } longer = {{KRIX_MAGIC, 0, 1}, 0};
			 int sv[2];
			 socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
			 send_reply(fd, &longer, sizeof(longer), sv[1]);
			 close(sv[1]);
			 close(sv[0]);
		 },
		 EPROTO},
		{"success without a data channel",
		 [](int fd) {
			 KrixReply r = {KRIX_MAGIC, 0, 1};
			 send_reply(fd, &r, sizeof(r), -1);
		 },
		 EPROTO},
		{"port in use",
		 [](int fd) {
			 KrixReply r = {KRIX_MAGIC, EADDRINUSE, 0};
			 send_reply(fd, &r, sizeof(r), -1);
		 },
		 EADDRINUSE},
		{"success",
		 [](int fd) {
			 KrixReply r = {KRIX_MAGIC, 0, 7};
			 int sv[2];
			 socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
			 send_reply(fd, &r, sizeof(r), sv[1]);
			 close(sv[1]);
			 close(sv[0]);
		 },
		 0},
	};
	harness_tmp(&sw);
	std::string dir = sw.tmp + "/fake";
	int lfd = fake_listen(dir);
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		KrixHello hello = {};
		ssize_t hello_len = -1;
		std::thread server([&] {
			int fd = accept(lfd, nullptr, nullptr);
			hello_len = recv(fd, &hello, sizeof(hello), MSG_TRUNC);
			row.answer(fd);
			close(fd);
		});
		/* The library must copy what it needs: both texts are changed
		 * and the record destroyed before the hello is looked at. */
		std::string descr(100, 'd');
		char group[] = "grp";
		auto *args = new SwitchOpenArgs{7, group, 0700};
		errno = 0;
		KRIXCONN *c = krix_open_real(dir.c_str(), descr.c_str(), 1, args);
		int err = errno;
		delete args;
		descr.assign(100, 'x');
		group[0] = 'X';
		server.join();
		EXPECT_EQ(c != nullptr, row.err == 0);
		if (row.err != 0) {
			EXPECT_EQ(err, row.err) << strerror(err);
		}
		krix_close(c);
		ASSERT_EQ(hello_len, (ssize_t)sizeof(KrixHello));
		EXPECT_EQ(hello.magic, KRIX_MAGIC);
		EXPECT_EQ(hello.version, 1u);
		EXPECT_EQ(hello.port, 7);
		EXPECT_EQ(hello.pid, getpid());
		EXPECT_STREQ(hello.group, "grp");
		EXPECT_EQ(std::string(hello.descr), std::string(KRIX_DESCR_LEN - 1, 'd'));
	}
	close(lfd);
}

/* One frame per krix_recv, cut at len, the rest of a cut frame gone. */
TEST_F(PlugTest, RecvTakesOneFrameCutAtLen)
{
	ASSERT_TRUE(switch_start(&sw));
	KRIXCONN *a = plug_open(sw), *b = plug_open(sw);
	ASSERT_TRUE(a && b);
	struct Row {
		const char *name;
		size_t sent, buf;
		int flags;
		ssize_t got;
	};
	const Row rows[] = {
		{"cut to len", 100, 20, 0, 20},
		{"cut even when asked for the true size", 1526, 60, MSG_TRUNC, 60},
		{"whole when it fits", 60, 1526, 0, 60},
		{"largest frame whole", 1526, 1526, 0, 1526},
		{"smallest frame whole", 14, 1526, 0, 14},
	};
	for (size_t i = 0; i < std::size(rows); i++) {
		Frame f = make_frame(BCAST, MAC_A, rows[i].sent, (uint8_t)i);
		ASSERT_EQ(krix_send(a, f.data(), f.size(), 0), (ssize_t)f.size());
	}
	for (size_t i = 0; i < std::size(rows); i++) {
		const Row &row = rows[i];
		SCOPED_TRACE(row.name);
		ASSERT_TRUE(poll_one(krix_datafd(b), 2000) & POLLIN);
		Frame got(row.buf + 16, 0xee);
		ASSERT_EQ(krix_recv(b, got.data(), row.buf, row.flags), row.got);
		Frame want = make_frame(BCAST, MAC_A, rows[i].sent, (uint8_t)i);
		EXPECT_TRUE(std::equal(got.begin(), got.begin() + row.got, want.begin()));
		EXPECT_EQ(got[row.buf], 0xee) << "wrote beyond len";
	}
	EXPECT_TRUE(plug_idle(b));
	krix_close(a);
	krix_close(b);
}

/* The switch going away, by any signal, shows on both descriptors; before
 * that the control descriptor has nothing to read. */
TEST_F(PlugTest, SwitchEndShowsAsHangupOnBothDescriptors)
{
	const int sigs[] = {SIGTERM, SIGINT, SIGKILL};
	for (int sig : sigs) {
		SCOPED_TRACE(strsignal(sig));
		ASSERT_TRUE(switch_start(&sw));
		KRIXCONN *a = plug_open(sw), *b = plug_open(sw);
		ASSERT_TRUE(a && b);
		Frame f = make_frame(BCAST, MAC_A, 60), got;
		krix_send(a, f.data(), f.size(), 0);
		ASSERT_TRUE(plug_recv(b, &got));
		EXPECT_EQ(poll_one(krix_ctlfd(a), 100), 0);
		EXPECT_EQ(poll_one(krix_ctlfd(b), 0), 0);
		int status = switch_stop(&sw, sig);
		EXPECT_EQ(status, sig == SIGKILL ? 128 + SIGKILL : 0);
		for (KRIXCONN *c : {a, b}) {
			EXPECT_TRUE(poll_one(krix_ctlfd(c), 2000) & POLLHUP);
			EXPECT_TRUE(poll_one(krix_datafd(c), 2000) & POLLHUP);
		}
		errno = 0;
		EXPECT_LT(krix_send(a, f.data(), f.size(), 0), 0);
		EXPECT_EQ(errno, EPIPE);
		/* A clean stop removes the socket; a killed switch cannot. */
		EXPECT_EQ(access((sw.dir + "/ctl").c_str(), F_OK) == 0, sig == SIGKILL);
		krix_close(a);
		krix_close(b);
		switch_cleanup(&sw);
	}
}

/* A forked child carries on with the connection even after the parent
 * has closed its copy, as a process that went to the background would. */
TEST_F(PlugTest, ConnectionWorksInChildAfterFork)
{
	ASSERT_TRUE(switch_start(&sw));
	KRIXCONN *a = plug_open(sw), *b = plug_open(sw);
	ASSERT_TRUE(a && b);
	pid_t pid = fork();
	if (pid == 0) {
		Frame f = make_frame(MAC_A, MAC_B, 64), got;
		bool ok = krix_send(b, f.data(), f.size(), 0) == 64 && plug_recv(b, &got, 5000) &&
			  got == make_frame(MAC_B, MAC_A, 64);
		_exit(ok ? 0 : 1);
	}
	krix_close(b);
	Frame got;
	ASSERT_TRUE(plug_recv(a, &got, 5000));
	EXPECT_EQ(got, make_frame(MAC_A, MAC_B, 64));
	Frame back = make_frame(MAC_B, MAC_A, 64);
	krix_send(a, back.data(), back.size(), 0);
	int status = 0;
	waitpid(pid, &status, 0);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
	krix_close(a);
}
