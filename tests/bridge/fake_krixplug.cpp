#include "fake_krixplug.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "table.h"
#include "vxlan.h"

struct krix_conn {
	int data_fd;      // the bridge's ends
	int ctl_fd;
	int far_data_fd;  // the test's ends; -1 when inherited or hung up
	int far_ctl_fd;
};

static std::vector<FakePlugCall> calls;
static std::vector<KRIXCONN *> conns;
static int open_errno;
static int recv_errno;
static int send_errno;
// -2 until the environment has been read, then -1 or the trace descriptor.
static int trace_fd = -2;

static void fake_trace_init(void)
{
	if (trace_fd != -2)
		return;
	trace_fd = -1;
	const char *where = getenv("FAKE_KRIX_TRACE");
	if (!where || !*where)
		return;
	if (strspn(where, "0123456789") == strlen(where))
		trace_fd = atoi(where);
	else
		trace_fd = open(where, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

// Writes the line in one call, so that lines of a process and of its
// children never interleave and nothing waits in a buffer at _exit.
static void fake_trace(const std::string &line)
{
	fake_trace_init();
	if (trace_fd < 0)
		return;
	std::string out = line + "\n";
	ssize_t ignored = write(trace_fd, out.data(), out.size());
	(void)ignored;
}

static const char *fake_text(const char *s)
{
	return s ? s : "null";
}

static const char *fake_handle(KRIXCONN *conn)
{
	return conn ? "conn" : "null";
}

static FakePlugCall &fake_record(const char *name, KRIXCONN *conn)
{
	FakePlugCall call;
	call.name = name;
	call.conn_null = conn == nullptr;
	calls.push_back(call);
	return calls.back();
}

// An inherited descriptor named by the environment, or -1.
static int fake_env_fd(const char *name)
{
	const char *value = getenv(name);
	return value && *value ? atoi(value) : -1;
}

// Gives the bridge's end of a channel: the inherited one, or one end of a
// new pair whose other end goes to the test.
static int fake_channel(const char *env, int *far_fd)
{
	*far_fd = -1;
	int fd = fake_env_fd(env);
	if (fd >= 0)
		return fd;
	int pair[2];
	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) < 0)
		return -1;
	*far_fd = pair[1];
	return pair[0];
}

static void fake_close_fd(int *fd)
{
	if (*fd >= 0)
		close(*fd);
	*fd = -1;
}

static void fake_free(KRIXCONN *conn)
{
	fake_close_fd(&conn->data_fd);
	fake_close_fd(&conn->ctl_fd);
	fake_close_fd(&conn->far_data_fd);
	fake_close_fd(&conn->far_ctl_fd);
	conns.erase(std::remove(conns.begin(), conns.end(), conn), conns.end());
	delete conn;
}

extern "C" KRIXCONN *krix_open_real(const char *sock, const char *descr, int interface_version,
				    SwitchOpenArgs *args)
{
	FakePlugCall &call = fake_record("krix_open_real", nullptr);
	call.conn_null = false;
	call.sock_null = sock == nullptr;
	call.sock = sock ? sock : "";
	call.descr_null = descr == nullptr;
	call.descr = descr ? descr : "";
	call.version = interface_version;
	call.args_null = args == nullptr;
	if (args)
		call.args = *args;

	char line[512];
	if (args)
		snprintf(line, sizeof(line), "krix_open_real %s %s %d port=%d group=%s mode=0%o", fake_text(sock),
			 fake_text(descr), interface_version, int(args->port), fake_text(args->group),
			 unsigned(args->mode));
	else
		snprintf(line, sizeof(line), "krix_open_real %s %s %d args=null", fake_text(sock), fake_text(descr),
			 interface_version);
	fake_trace(line);

	int err = open_errno ? open_errno : (getenv("FAKE_KRIX_FAIL_OPEN") ? atoi(getenv("FAKE_KRIX_FAIL_OPEN")) : 0);
	if (err) {
		errno = err;
		return nullptr;
	}
	KRIXCONN *conn = new krix_conn;
	conn->data_fd = fake_channel("FAKE_KRIX_DATA_FD", &conn->far_data_fd);
	conn->ctl_fd = fake_channel("FAKE_KRIX_CTL_FD", &conn->far_ctl_fd);
	if (conn->data_fd < 0 || conn->ctl_fd < 0) {
		err = errno;
		fake_free(conn);
		errno = err;
		return nullptr;
	}
	conns.push_back(conn);
	return conn;
}

extern "C" int krix_ctlfd(KRIXCONN *conn)
{
	fake_record("krix_ctlfd", conn);
	fake_trace(std::string("krix_ctlfd ") + fake_handle(conn));
	if (!conn) {
		errno = EBADF;
		return -1;
	}
	return conn->ctl_fd;
}

extern "C" int krix_datafd(KRIXCONN *conn)
{
	fake_record("krix_datafd", conn);
	fake_trace(std::string("krix_datafd ") + fake_handle(conn));
	if (!conn) {
		errno = EBADF;
		return -1;
	}
	return conn->data_fd;
}

// Shared by receive and send: records the call and says whether it is to
// fail, and with what.
static int fake_transfer(const char *name, KRIXCONN *conn, size_t len, int flags, int *fail)
{
	FakePlugCall &call = fake_record(name, conn);
	call.len = len;
	call.flags = flags;
	fake_trace(std::string(name) + " " + fake_handle(conn) + " " + std::to_string(len) + " " +
		   std::to_string(flags));
	int err = *fail;
	*fail = 0;
	if (!err && !conn)
		err = EBADF;
	return err;
}

extern "C" ssize_t krix_recv(KRIXCONN *conn, void *buf, size_t len, int flags)
{
	int err = fake_transfer("krix_recv", conn, len, flags, &recv_errno);
	if (err) {
		errno = err;
		return -1;
	}
	// A sequenced-packet socket cuts a longer frame to len and drops the
	// rest, as the library does.
	return recv(conn->data_fd, buf, len, flags & ~MSG_TRUNC);
}

extern "C" ssize_t krix_send(KRIXCONN *conn, const void *buf, size_t len, int flags)
{
	int err = fake_transfer("krix_send", conn, len, flags, &send_errno);
	if (err) {
		errno = err;
		return -1;
	}
	return send(conn->data_fd, buf, len, flags | MSG_NOSIGNAL);
}

extern "C" int krix_close(KRIXCONN *conn)
{
	fake_record("krix_close", conn);
	// The exit clean-up must leave the group and close the VXLAN socket
	// before it closes the switch connection; the trace shows which it
	// found: never opened, still open, or closed.
	const char *vxlan = vxlan_fd == -1 ? "none" : fcntl(vxlan_fd, F_GETFD) == -1 ? "closed" : "open";
	fake_trace(std::string("krix_close ") + fake_handle(conn) + " vxlan_fd=" + vxlan);
	if (conn)
		fake_free(conn);
	return 0;
}

void fake_plug_reset(void)
{
	while (!conns.empty())
		fake_free(conns.back());
	calls.clear();
	open_errno = 0;
	recv_errno = 0;
	send_errno = 0;
}

const std::vector<FakePlugCall> &fake_plug_calls(void)
{
	return calls;
}

std::string fake_plug_call_summary(void)
{
	std::string out;
	for (const FakePlugCall &call : calls) {
		if (!out.empty())
			out += " ";
		out += call.name;
		if (call.name != "krix_open_real")
			out += std::string("(") + (call.conn_null ? "null" : "conn") + ")";
	}
	return out;
}

void fake_plug_fail_open(int err)
{
	open_errno = err;
}

void fake_plug_fail_next_recv(int err)
{
	recv_errno = err;
}

void fake_plug_fail_next_send(int err)
{
	send_errno = err;
}

int fake_plug_switch_fd(void)
{
	return conns.empty() ? -1 : conns.back()->far_data_fd;
}

int fake_plug_ctl_fd(void)
{
	return conns.empty() ? -1 : conns.back()->far_ctl_fd;
}

void fake_plug_hang_up_ctl(void)
{
	if (!conns.empty())
		fake_close_fd(&conns.back()->far_ctl_fd);
}

void fake_plug_hang_up_data(void)
{
	if (!conns.empty())
		fake_close_fd(&conns.back()->far_data_fd);
}

std::vector<uint8_t> fake_frame(const FakeMac &dst, const FakeMac &src, size_t len)
{
	std::vector<uint8_t> f(len);
	for (size_t i = 0; i < len; i++)
		f[i] = uint8_t(i < 6 ? dst[i] : i < 12 ? src[i - 6] : i * 7);
	return f;
}

std::vector<std::string> fake_logged(const std::function<void()> &fn)
{
	fflush(stderr);
	FILE *tmp = tmpfile();
	int saved = dup(STDERR_FILENO);
	if (!tmp || saved < 0)
		abort();
	dup2(fileno(tmp), STDERR_FILENO);
	fn();
	fflush(stderr);
	dup2(saved, STDERR_FILENO);
	close(saved);

	std::string text;
	char chunk[4096];
	rewind(tmp);
	for (size_t n; (n = fread(chunk, 1, sizeof(chunk), tmp)) > 0;)
		text.append(chunk, n);
	fclose(tmp);

	std::vector<std::string> lines;
	const std::string prefix = "krix_vxlan: ";
	for (size_t start = 0, end; start < text.size(); start = end + 1) {
		end = text.find('\n', start);
		std::string line = text.substr(start, end - start);
		lines.push_back(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line);
	}
	return lines;
}

bool fake_table_is_empty(void)
{
	for (size_t i = 0; i < table_bucket_count(); i++)
		if (table_bucket_head(i))
			return false;
	return true;
}
