/* switch_harness.cpp: a real krix_switch per test, in its own temp directory. */
#include "switch_harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

bool ctl_accepts(const std::string &dir)
{
	struct sockaddr_un sa = {};
	sa.sun_family = AF_UNIX;
	snprintf(sa.sun_path, sizeof(sa.sun_path), "%s/ctl", dir.c_str());
	int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	bool ok = connect(fd, (struct sockaddr *)&sa, sizeof(sa)) == 0;
	close(fd);
	return ok;
}

} // namespace

std::string harness_bin(const char *name)
{
	return std::string(KRIX_BUILD_DIR) + "/" + name;
}

void harness_tmp(SwitchProc *sw)
{
	if (!sw->tmp.empty())
		return;
	char tmpl[] = "/tmp/krix_switch_test.XXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		abort();
	sw->tmp = tmpl;
	sw->dir = sw->tmp + "/sw";
	sw->log = sw->tmp + "/log";
}

bool switch_start(SwitchProc *sw, const std::vector<std::string> &extra)
{
	harness_tmp(sw);
	std::string bin = harness_bin("krix_switch");
	std::vector<std::string> args = {bin, "-v", "-s", sw->dir};
	args.insert(args.end(), extra.begin(), extra.end());
	pid_t pid = fork();
	if (pid == 0) {
		std::vector<char *> argv;
		for (auto &a : args)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		int fd = open(sw->log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
		dup2(fd, STDERR_FILENO);
		execv(bin.c_str(), argv.data());
		_exit(127);
	}
	sw->pid = pid;
	for (int i = 0; i < 500; i++) {
		if (ctl_accepts(sw->dir))
			return true;
		if (waitpid(pid, nullptr, WNOHANG) == pid) {
			sw->pid = -1;
			return false;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return false;
}

int switch_stop(SwitchProc *sw, int sig)
{
	int status = 0;

	if (sw->pid < 0)
		return -1;
	kill(sw->pid, sig);
	waitpid(sw->pid, &status, 0);
	sw->pid = -1;
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void switch_cleanup(SwitchProc *sw)
{
	if (sw->pid > 0)
		switch_stop(sw, SIGKILL);
	if (!sw->tmp.empty()) {
		std::string cmd = "rm -rf '" + sw->tmp + "'";
		if (system(cmd.c_str()) != 0)
			fprintf(stderr, "could not remove %s\n", sw->tmp.c_str());
	}
	sw->tmp.clear();
}

bool switch_log_has(const SwitchProc &sw, const std::string &text, int timeout_ms)
{
	for (int waited = 0;; waited += 10) {
		std::ifstream in(sw.log);
		std::stringstream ss;
		ss << in.rdbuf();
		if (ss.str().find(text) != std::string::npos)
			return true;
		if (waited >= timeout_ms)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
}

bool switch_port_counters(const SwitchProc &sw, int port, PortCounters *pc)
{
	std::ifstream in(sw.log);
	std::string line, head = "krix_switch: port " + std::to_string(port) + " (";
	bool found = false;

	while (std::getline(in, line)) {
		size_t at = line.find("; rx ");
		if (line.rfind(head, 0) != 0 || at == std::string::npos)
			continue;
		found = sscanf(line.c_str() + at, "; rx %llu tx %llu dropped %llu bad %llu", &pc->rx,
			       &pc->tx, &pc->dropped, &pc->bad) == 4;
	}
	return found;
}

KRIXCONN *plug_open(const SwitchProc &sw, int port)
{
	SwitchOpenArgs args = {port, nullptr, 0700};
	return krix_open_real(sw.dir.c_str(), "test:", KRIX_INTERFACE_VERSION, &args);
}

bool plug_recv(KRIXCONN *conn, Frame *f, int timeout_ms)
{
	struct pollfd pfd = {krix_datafd(conn), POLLIN, 0};

	if (poll(&pfd, 1, timeout_ms) != 1 || !(pfd.revents & POLLIN))
		return false;
	f->resize(65536);
	ssize_t n = krix_recv(conn, f->data(), f->size(), MSG_DONTWAIT);
	if (n < 0)
		return false;
	f->resize((size_t)n);
	return true;
}

bool plug_idle(KRIXCONN *conn)
{
	struct pollfd pfd = {krix_datafd(conn), POLLIN, 0};
	return poll(&pfd, 1, 0) == 0;
}

Frame make_frame(const char *dst, const char *src, size_t len, uint8_t seed)
{
	Frame f(len < 14 ? 14 : len);
	unsigned b[6];
	for (int which = 0; which < 2; which++) {
		sscanf(which ? src : dst, "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
		for (int i = 0; i < 6; i++)
			f[which * 6 + i] = (uint8_t)b[i];
	}
	f[12] = 0x88;
	f[13] = 0xb5; /* the local experimental EtherType */
	for (size_t i = 14; i < f.size(); i++)
		f[i] = (uint8_t)(seed + i);
	f.resize(len);
	return f;
}
