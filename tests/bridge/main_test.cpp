// Start-up, the event loop and shutdown, on the whole program linked with
// the fake plug library. Each test runs in a network namespace of its own,
// made by unshare, with one veth pair and a default route, so the program's
// VXLAN socket never reaches the machine's own network.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::vector<uint8_t> BROADCAST_FRAME = {
	0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0, 0, 0, 0, 0x01, 0x08, 0x06, 'h', 'i',
};

std::string read_all(int fd)
{
	std::string s;
	char buf[4096];
	// pread leaves the offset alone, which the program shares.
	for (ssize_t n; (n = pread(fd, buf, sizeof(buf), off_t(s.size()))) > 0;)
		s.append(buf, size_t(n));
	return s;
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return lines;
}

bool wait_for(const std::function<bool()> &cond, int ms = 5000)
{
	for (int waited = 0; waited < ms; waited += 10) {
		if (cond())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return cond();
}

// True while some socket of this namespace is a member of 239.1.1.1.
bool group_joined()
{
	std::ifstream igmp("/proc/net/igmp");
	std::string text((std::istreambuf_iterator<char>(igmp)), std::istreambuf_iterator<char>());
	return text.find("010101EF") != std::string::npos;
}

// The program under test, with the fake's channels and trace.
struct Program {
	pid_t pid = -1;
	int data = -1;   // the test's end of the data channel
	int ctl = -1;    // the test's end of the control channel
	int err = -1;    // what the program writes to standard error
	int trace = -1;  // the fake's trace of library calls

	void start(std::vector<std::string> args, const std::string &extra_env = "")
	{
		int data_pair[2], ctl_pair[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, data_pair), 0);
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ctl_pair), 0);
		char err_name[] = "/tmp/krix_main_test_err.XXXXXX";
		char trace_name[] = "/tmp/krix_main_test_trace.XXXXXX";
		err = mkstemp(err_name);
		trace = mkstemp(trace_name);
		unlink(err_name);
		unlink(trace_name);
		fcntl(err, F_SETFL, O_APPEND);
		fcntl(trace, F_SETFL, O_APPEND);

		pid = fork();
		if (pid == 0) {
			dup2(err, 2);
			setenv("FAKE_KRIX_DATA_FD", std::to_string(data_pair[1]).c_str(), 1);
			setenv("FAKE_KRIX_CTL_FD", std::to_string(ctl_pair[1]).c_str(), 1);
			setenv("FAKE_KRIX_TRACE", std::to_string(trace).c_str(), 1);
			if (!extra_env.empty())
				putenv(const_cast<char *>(extra_env.c_str()));
			close(data_pair[0]);
			close(ctl_pair[0]);
			std::vector<char *> argv{const_cast<char *>("krix_vxlan")};
			for (auto &a : args)
				argv.push_back(a.data());
			argv.push_back(nullptr);
			execv(KRIX_VXLAN_FAKE_BIN, argv.data());
			_exit(127);
		}
		close(data_pair[1]);
		close(ctl_pair[1]);
		data = data_pair[0];
		ctl = ctl_pair[0];
	}

	// Waits for the end of the program and returns its exit status.
	int wait_exit()
	{
		int status = 0;
		bool ended = wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
		if (!ended) {
			kill(pid, SIGKILL);
			waitpid(pid, &status, 0);
			return -1;
		}
		pid = -1;
		return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	}

	// Stops the program and waits until it has stopped, so that whatever
	// arrives meanwhile is reported to it by one wait.
	void pause()
	{
		kill(pid, SIGSTOP);
		wait_for([&] {
			std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
			std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
			size_t paren = text.rfind(')');
			return paren != std::string::npos && text.compare(paren + 2, 1, "T") == 0;
		});
	}
	void resume() { kill(pid, SIGCONT); }

	std::vector<std::string> err_lines() { return lines_of(read_all(err)); }
	std::vector<std::string> trace_lines() { return lines_of(read_all(trace)); }

	~Program()
	{
		if (pid > 0) {
			kill(pid, SIGKILL);
			waitpid(pid, nullptr, 0);
		}
		for (int fd : {data, ctl, err, trace})
			if (fd >= 0)
				close(fd);
	}
};

const std::vector<std::string> ARGS = {"-I", "42", "-A", "239.1.1.1", "-s", "/fake/switch", "-v"};

struct MainTest : testing::Test {
	void SetUp() override
	{
		ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
		ASSERT_EQ(system("ip link set lo up && "
				 "ip link add u0 type veth peer name u1 && "
				 "ip addr add 198.18.0.1/24 dev u0 && "
				 "ip link set u0 up && ip link set u1 up && "
				 "ip route add default dev u0"),
			  0);
	}

	// Sends a datagram to the program's socket, from another port of this
	// host.
	static void send_datagram(const std::vector<uint8_t> &payload)
	{
		int fd = socket(AF_INET, SOCK_DGRAM, 0);
		struct sockaddr_in to = {};
		to.sin_family = AF_INET;
		to.sin_port = htons(4879);
		to.sin_addr.s_addr = inet_addr("198.18.0.1");
		sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
		close(fd);
	}

	static std::vector<uint8_t> datagram(const std::vector<uint8_t> &frame)
	{
		std::vector<uint8_t> d = {0x08, 0, 0, 0, 0, 0, 42, 0};
		d.insert(d.end(), frame.begin(), frame.end());
		return d;
	}
};

TEST_F(MainTest, SwitchHangUpEndsWithStatusZeroAfterLeavingTheGroup)
{
	Program p;
	p.start(ARGS);
	ASSERT_TRUE(wait_for(group_joined));
	close(p.ctl);
	p.ctl = -1;
	EXPECT_EQ(p.wait_exit(), 0);
	EXPECT_THAT(p.err_lines(), ElementsAre("krix_vxlan: KRIX connection closed"));
	// The fake notes at krix_close whether the VXLAN socket is still open:
	// the group is left and the socket closed before the switch connection.
	EXPECT_THAT(p.trace_lines(),
		    ElementsAre("krix_open_real /fake/switch krix_vxlan: 1 port=0 group=null mode=0700",
				"krix_ctlfd conn", "krix_datafd conn", "krix_close conn vxlan_fd=closed"));
	EXPECT_FALSE(group_joined());
}

TEST_F(MainTest, ControlHangUpWinsOverReadableData)
{
	Program p;
	p.start(ARGS);
	ASSERT_TRUE(wait_for(group_joined));
	// Both arrive while the program is stopped, so one wait reports both.
	p.pause();
	ASSERT_EQ(send(p.data, BROADCAST_FRAME.data(), BROADCAST_FRAME.size(), 0), ssize_t(BROADCAST_FRAME.size()));
	send_datagram(datagram(BROADCAST_FRAME));
	close(p.ctl);
	p.ctl = -1;
	p.resume();
	EXPECT_EQ(p.wait_exit(), 0);
	EXPECT_THAT(p.err_lines(), ElementsAre("krix_vxlan: KRIX connection closed"));
	for (const auto &line : p.trace_lines())
		EXPECT_THAT(line, Not(HasSubstr("krix_recv")));
}

TEST_F(MainTest, DataHangUpIsLoggedThenTheFrameHandled)
{
	Program p;
	p.start(ARGS);
	ASSERT_TRUE(wait_for(group_joined));
	p.pause();
	ASSERT_EQ(send(p.data, BROADCAST_FRAME.data(), BROADCAST_FRAME.size(), 0), ssize_t(BROADCAST_FRAME.size()));
	close(p.data);
	p.data = -1;
	p.resume();
	// The loop goes on after a data hang-up; the control hang-up ends it.
	ASSERT_TRUE(wait_for([&] { return p.err_lines().size() >= 3; }));
	close(p.ctl);
	p.ctl = -1;
	EXPECT_EQ(p.wait_exit(), 0);
	auto lines = p.err_lines();
	ASSERT_GE(lines.size(), 4u);
	EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 3),
		    ElementsAre("krix_vxlan: KRIX connection error", "krix_vxlan: KRIX packet",
				"krix_vxlan: Broadcast send"));
	EXPECT_EQ(lines.back(), "krix_vxlan: KRIX connection closed");
}

TEST_F(MainTest, FrameThenDatagramInOnePass)
{
	Program p;
	p.start(ARGS);
	ASSERT_TRUE(wait_for(group_joined));
	p.pause();
	// The datagram is sent first; the frame is still handled first.
	send_datagram(datagram(BROADCAST_FRAME));
	ASSERT_EQ(send(p.data, BROADCAST_FRAME.data(), BROADCAST_FRAME.size(), 0), ssize_t(BROADCAST_FRAME.size()));
	p.resume();
	ASSERT_TRUE(wait_for([&] { return p.err_lines().size() >= 4; }));
	EXPECT_THAT(p.err_lines(),
		    ElementsAre("krix_vxlan: KRIX packet", "krix_vxlan: Broadcast send",
				"krix_vxlan: VXLAN packet from 198.18.0.1", "krix_vxlan: Broadcast send"));
	// The frame that came over VXLAN reached the switch.
	uint8_t buf[64];
	ASSERT_EQ(recv(p.data, buf, sizeof(buf), MSG_DONTWAIT), ssize_t(BROADCAST_FRAME.size()));
	EXPECT_EQ(std::vector<uint8_t>(buf, buf + BROADCAST_FRAME.size()), BROADCAST_FRAME);
}

// Context switches of a process, from /proc.
long wakeups(pid_t pid)
{
	std::ifstream status("/proc/" + std::to_string(pid) + "/status");
	for (std::string line; std::getline(status, line);)
		if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
			return std::stol(line.substr(line.find(':') + 1));
	return -1;
}

TEST_F(MainTest, IdleLoopWakesAboutOnceASecond)
{
	Program p;
	p.start(ARGS);
	ASSERT_TRUE(wait_for(group_joined));
	long before = wakeups(p.pid);
	std::this_thread::sleep_for(std::chrono::milliseconds(4000));
	long woken = wakeups(p.pid) - before;
	EXPECT_GE(woken, 3);
	EXPECT_LE(woken, 6);
	EXPECT_TRUE(p.err_lines().empty());
}

TEST_F(MainTest, FailedSwitchOpenClosesTheNullHandleOnly)
{
	Program p;
	p.start({"-I", "42", "-A", "239.1.1.1"}, "FAKE_KRIX_FAIL_OPEN=2");
	EXPECT_EQ(p.wait_exit(), 1);
	EXPECT_THAT(p.err_lines(), ElementsAre("krix_vxlan: krix_open(\"DEF_SWITCH\"): No such file or directory"));
	EXPECT_THAT(p.trace_lines(), ElementsAre("krix_open_real null krix_vxlan: 1 port=0 group=null mode=0700",
						 "krix_close null vxlan_fd=none"));
}

TEST_F(MainTest, FailedVxlanSetUpClosesOnlyTheSwitch)
{
	Program p;
	// Not a multicast address: joining fails after the switch was opened.
	p.start({"-I", "42", "-A", "198.18.0.77", "-s", "/fake/switch", "-p", "9"});
	EXPECT_EQ(p.wait_exit(), 1);
	EXPECT_THAT(p.err_lines(), ElementsAre("krix_vxlan: setsockopt(ADD): Invalid argument"));
	EXPECT_THAT(p.trace_lines(),
		    ElementsAre("krix_open_real /fake/switch krix_vxlan: 1 port=9 group=null mode=0700",
				"krix_ctlfd conn", "krix_datafd conn", "krix_close conn vxlan_fd=none"));
}

// In the background every line goes to syslog, here a socket of the test's
// bound at /dev/log on a private /dev in a mount namespace of this test.
TEST_F(MainTest, DaemonLogsToSyslogAsUserFacility)
{
	ASSERT_EQ(unshare(CLONE_NEWNS), 0);
	ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
	ASSERT_EQ(mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755"), 0);
	// daemon() puts its standard streams on /dev/null.
	ASSERT_EQ(mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)), 0);
	int sink = socket(AF_UNIX, SOCK_DGRAM, 0);
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	strcpy(sun.sun_path, "/dev/log");
	ASSERT_EQ(bind(sink, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);

	Program p;
	std::vector<std::string> args = ARGS;
	args.push_back("-d");
	p.start(args);
	EXPECT_EQ(p.wait_exit(), 0);
	EXPECT_TRUE(group_joined());

	auto next_message = [&]() {
		struct pollfd pfd = {sink, POLLIN, 0};
		if (poll(&pfd, 1, 5000) != 1)
			return std::string("(nothing)");
		char buf[512];
		ssize_t n = recv(sink, buf, sizeof(buf), 0);
		std::string m(buf, size_t(n > 0 ? n : 0));
		// Drop the time stamp between the priority and the ident.
		size_t ident = m.find("krix_vxlan[");
		return ident == std::string::npos ? m : m.substr(0, m.find('>') + 1) + m.substr(ident);
	};
	std::string started = next_message();
	ASSERT_THAT(started, testing::MatchesRegex("<14>krix_vxlan\\[[0-9]+\\]: KRIX_VXLAN started"));
	std::string pid = started.substr(started.find('[') + 1, started.find(']') - started.find('[') - 1);
	EXPECT_NE(pid, std::to_string(p.pid)) << "logged by the process that went to the background";

	ASSERT_EQ(send(p.data, BROADCAST_FRAME.data(), BROADCAST_FRAME.size(), 0), ssize_t(BROADCAST_FRAME.size()));
	EXPECT_EQ(next_message(), "<15>krix_vxlan[" + pid + "]: KRIX packet");
	EXPECT_EQ(next_message(), "<15>krix_vxlan[" + pid + "]: Broadcast send");
	close(p.ctl);
	p.ctl = -1;
	EXPECT_EQ(next_message(), "<14>krix_vxlan[" + pid + "]: KRIX connection closed");
	EXPECT_TRUE(p.err_lines().empty());
	EXPECT_TRUE(wait_for([] { return !group_joined(); }));
	close(sink);
}

} // namespace
