// The logger: its standard-error format, the debug filter, and the syslog
// path, caught on a private /dev/log.
#include <errno.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "log.h"

namespace {

struct LogTest : testing::Test {
	void TearDown() override
	{
		verbose = 0;
		use_syslog = 0;
	}
};

TEST_F(LogTest, StandardError)
{
	struct Row {
		const char *name;
		int verbose, level;
		std::string want;
	} rows[] = {
		{"error", 0, LOG_ERR, "krix_vxlan: poll(): Interrupted 7\n"},
		{"warning", 0, LOG_WARNING, "krix_vxlan: poll(): Interrupted 7\n"},
		{"info", 0, LOG_INFO, "krix_vxlan: poll(): Interrupted 7\n"},
		{"debug dropped", 0, LOG_DEBUG, ""},
		{"debug with -v", 1, LOG_DEBUG, "krix_vxlan: poll(): Interrupted 7\n"},
		{"error with -v", 1, LOG_ERR, "krix_vxlan: poll(): Interrupted 7\n"},
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		verbose = row.verbose;
		testing::internal::CaptureStderr();
		log_line(row.level, "poll(): %s %d", "Interrupted", 7);
		EXPECT_EQ(testing::internal::GetCapturedStderr(), row.want);
	}
}

TEST_F(LogTest, FormatWithoutArgumentsUnchanged)
{
	testing::internal::CaptureStderr();
	log_line(LOG_INFO, "KRIX connection closed");
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "krix_vxlan: KRIX connection closed\n");
}

// In a child with a mount namespace of its own, a socket of the test's is
// bound at /dev/log on a private /dev, so that nothing reaches the
// machine's syslog. The child logs and sends back what the socket got.
std::string syslog_capture(int verbose_flag)
{
	int report[2];
	if (pipe(report) != 0)
		return "pipe failed";
	pid_t pid = fork();
	if (pid == 0) {
		close(report[0]);
		auto fail = [&](const char *what) {
			std::string msg = std::string("FAIL ") + what + ": " + strerror(errno);
			(void)!write(report[1], msg.data(), msg.size());
			_exit(1);
		};
		if (unshare(CLONE_NEWNS) != 0)
			fail("unshare");
		if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
			fail("mount private");
		if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
			fail("mount /dev");
		int sink = socket(AF_UNIX, SOCK_DGRAM, 0);
		struct sockaddr_un sun = {};
		sun.sun_family = AF_UNIX;
		strcpy(sun.sun_path, "/dev/log");
		if (bind(sink, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) != 0)
			fail("bind /dev/log");

		verbose = verbose_flag;
		use_syslog = 1;
		openlog("krix_vxlan", LOG_PID, LOG_USER);
		testing::internal::CaptureStderr();
		log_line(LOG_DEBUG, "debug %d", 1);
		log_line(LOG_INFO, "KRIX_VXLAN started");
		log_line(LOG_ERR, "poll(): %s", "Bad address");
		std::string err = testing::internal::GetCapturedStderr();

		std::string all = std::to_string(getpid()) + "\n" + "stderr:" + err + "\n";
		char buf[512];
		for (ssize_t n; (n = recv(sink, buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
			all += std::string(buf, size_t(n)) + "|\n";
		(void)!write(report[1], all.data(), all.size());
		_exit(0);
	}
	close(report[1]);
	std::string got;
	char buf[1024];
	for (ssize_t n; (n = read(report[0], buf, sizeof(buf))) > 0;)
		got.append(buf, size_t(n));
	close(report[0]);
	waitpid(pid, nullptr, 0);
	return got;
}

// Strips the time stamp that syslog puts after the priority.
std::string without_stamp(const std::string &line)
{
	size_t end = line.find('>');
	size_t ident = line.find("krix_vxlan[");
	if (end == std::string::npos || ident == std::string::npos)
		return line;
	return line.substr(0, end + 1) + line.substr(ident);
}

TEST_F(LogTest, SyslogGetsLevelIdentAndPid)
{
	for (int v : {0, 1}) {
		SCOPED_TRACE(v ? "verbose" : "quiet");
		std::string got = syslog_capture(v);
		ASSERT_EQ(got.find("FAIL"), std::string::npos) << got;
		std::string pid = got.substr(0, got.find('\n'));
		std::string rest = got.substr(got.find('\n') + 1);
		std::string want = "stderr:\n";
		if (v)
			want += "<15>krix_vxlan[" + pid + "]: debug 1|\n";
		want += "<14>krix_vxlan[" + pid + "]: KRIX_VXLAN started|\n";
		want += "<11>krix_vxlan[" + pid + "]: poll(): Bad address|\n";

		std::string stripped;
		size_t pos = 0;
		for (size_t nl; (nl = rest.find('\n', pos)) != std::string::npos; pos = nl + 1)
			stripped += without_stamp(rest.substr(pos, nl - pos)) + "\n";
		EXPECT_EQ(stripped, want);
	}
}

} // namespace
