// Fuzzes the plug library against a hostile or broken switch: a fake switch
// on a thread of its own listens in a private directory, takes the plug's
// hello and answers with the input, with or without descriptors. Whatever
// it answers, krix_open_real must fail cleanly or give a working handle,
// and no descriptor may leak.
//
// Input: byte 0 chooses the variations, the rest is the reply.
//   bits 0-2  how many descriptors go with the reply (0 to 7)
//   bits 3-4  their kind: a data channel (a sequenced-packet socket pair),
//             a datagram socket, a pipe's read end, /dev/null
//   bit 5     the switch hangs up at once instead of answering
//   bit 6     the switch keeps the control connection open until the plug
//             has closed, instead of closing it after the reply
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include "../krixplug/krix_wire.h"
#include "fuzz_util.h"
#include "krixplug.h"

namespace {

constexpr size_t REPLY_MAX = 4096;
constexpr int FDS_MAX = 7;
constexpr int WAIT_MS = 5000;

std::string ctl_path;
int listen_fd = -1;

// The descriptors the switch passes, and for a data channel the far ends
// that the harness keeps; all closed after the input.
struct Passed {
	std::vector<int> sent;
	std::vector<int> kept;
};

void make_fds(int count, int kind, Passed *p)
{
	for (int i = 0; i < count; i++) {
		int pair[2];
		switch (kind) {
		case 0:
		case 1:
			FUZZ_CHECK(socketpair(AF_UNIX, (kind ? SOCK_DGRAM : SOCK_SEQPACKET) | SOCK_CLOEXEC, 0, pair) == 0);
			break;
		case 2:
			FUZZ_CHECK(pipe2(pair, O_CLOEXEC) == 0);
			break;
		default:
			pair[0] = open("/dev/null", O_RDWR | O_CLOEXEC);
			pair[1] = -1;
			FUZZ_CHECK(pair[0] >= 0);
		}
		p->sent.push_back(pair[0]);
		if (pair[1] >= 0)
			p->kept.push_back(pair[1]);
	}
}

bool wait_readable(int fd)
{
	struct pollfd pfd = {fd, POLLIN, 0};
	return poll(&pfd, 1, WAIT_MS) == 1;
}

// The fake switch: one connection, one hello, one reply (or none).
void fake_switch(uint8_t opts, const uint8_t *reply, size_t len, const Passed *p, int *conn_out)
{
	FUZZ_CHECK(wait_readable(listen_fd));
	int conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
	FUZZ_CHECK(conn >= 0);
	*conn_out = conn;

	// What a plug says is fixed by the library; check it on the way.
	KrixHello h;
	FUZZ_CHECK(wait_readable(conn));
	ssize_t n = recv(conn, &h, sizeof(h), MSG_TRUNC);
	FUZZ_CHECK(n == ssize_t(sizeof(h)));
	FUZZ_CHECK(h.magic == KRIX_MAGIC && h.version == KRIX_INTERFACE_VERSION);
	FUZZ_CHECK(memchr(h.descr, 0, sizeof(h.descr)) && memchr(h.group, 0, sizeof(h.group)));
	if (opts & 0x20) {
		close(conn);
		*conn_out = -1;
		return;
	}

	union {
		struct cmsghdr align;
		char buf[CMSG_SPACE(FDS_MAX * sizeof(int))];
	} cm;
	struct iovec iov = {const_cast<uint8_t *>(reply), len};
	struct msghdr msg = {};
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	if (!p->sent.empty()) {
		size_t bytes = p->sent.size() * sizeof(int);
		memset(&cm, 0, sizeof(cm));
		msg.msg_control = cm.buf;
		msg.msg_controllen = CMSG_SPACE(bytes);
		struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
		c->cmsg_level = SOL_SOCKET;
		c->cmsg_type = SCM_RIGHTS;
		c->cmsg_len = CMSG_LEN(bytes);
		memcpy(CMSG_DATA(c), p->sent.data(), bytes);
	}
	FUZZ_CHECK(sendmsg(conn, &msg, MSG_NOSIGNAL) == ssize_t(len));
	if (!(opts & 0x40)) {
		close(conn);
		*conn_out = -1;
	}
}

// One input's work for the fake switch. The thread lives for the whole run:
// a thread per input cost more than the rest of an execution.
struct Job {
	uint8_t opts;
	const uint8_t *reply;
	size_t len;
	const Passed *passed;
	int conn;
};
Job job;
sem_t job_ready, job_done;

void *fake_switch_thread(void *)
{
	for (;;) {
		while (sem_wait(&job_ready) < 0)
			;
		fake_switch(job.opts, job.reply, job.len, job.passed, &job.conn);
		sem_post(&job_done);
	}
	return nullptr;
}

// A handle the library gave out must carry frames both ways when the
// switch passed a real data channel, and must close without harm anyway.
void use_handle(KRIXCONN *conn, uint8_t opts, const Passed &p)
{
	int ctl = krix_ctlfd(conn);
	int data = krix_datafd(conn);
	FUZZ_CHECK(ctl >= 0 && data >= 0 && ctl != data);
	FUZZ_CHECK(fcntl(ctl, F_GETFD) == FD_CLOEXEC && fcntl(data, F_GETFD) == FD_CLOEXEC);

	static const uint8_t FRAME[14] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0, 1, 8, 0};
	uint8_t buf[64];
	ssize_t sent = krix_send(conn, FRAME, sizeof(FRAME), MSG_DONTWAIT);
	ssize_t got = krix_recv(conn, buf, sizeof(buf), MSG_DONTWAIT);
	FUZZ_CHECK(got < ssize_t(sizeof(buf)));
	if ((opts & 0x18) == 0) {
		// The first descriptor passed is the data channel; its far end is
		// the first kept.
		FUZZ_CHECK(sent == ssize_t(sizeof(FRAME)));
		FUZZ_CHECK(recv(p.kept[0], buf, sizeof(buf), MSG_DONTWAIT) == ssize_t(sizeof(FRAME)));
		FUZZ_CHECK(send(p.kept[0], FRAME, sizeof(FRAME), MSG_NOSIGNAL) == ssize_t(sizeof(FRAME)));
		FUZZ_CHECK(krix_recv(conn, buf, 4, MSG_DONTWAIT) == 4);
	}
}

void close_all(const std::vector<int> &fds)
{
	for (int fd : fds)
		close(fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	signal(SIGPIPE, SIG_IGN);
	ctl_path = fuzz_temp_dir("fuzz_plug_reply") + "/" + KRIX_CTL_NAME;
	struct sockaddr_un sa = {};
	sa.sun_family = AF_UNIX;
	snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", ctl_path.c_str());
	listen_fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	FUZZ_CHECK(listen_fd >= 0);
	FUZZ_CHECK(bind(listen_fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) == 0);
	FUZZ_CHECK(listen(listen_fd, 4) == 0);
	pthread_t thread;
	FUZZ_CHECK(sem_init(&job_ready, 0, 0) == 0 && sem_init(&job_done, 0, 0) == 0);
	FUZZ_CHECK(pthread_create(&thread, nullptr, fake_switch_thread, nullptr) == 0);
	pthread_detach(thread);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1 || size - 1 > REPLY_MAX)
		return -1;
	uint8_t opts = data[0];
	int before = fuzz_lowest_free_fd();

	Passed p;
	make_fds(opts & 7, (opts >> 3) & 3, &p);
	job = Job{opts, data + 1, size - 1, &p, -1};
	sem_post(&job_ready);

	char group[] = "fuzz";
	SwitchOpenArgs args = {0, group, 0700};
	errno = 0;
	KRIXCONN *conn = krix_open_real(ctl_path.c_str(), "fuzz_plug_reply", KRIX_INTERFACE_VERSION, &args);
	int err = errno;
	while (sem_wait(&job_done) < 0)
		;
	int conn_fd = job.conn;

	if (conn) {
		// Only a reply of exactly the right size, with no error and a
		// descriptor, opens a plug.
		KrixReply r;
		FUZZ_CHECK(size - 1 == sizeof(r));
		memcpy(&r, data + 1, sizeof(r));
		FUZZ_CHECK(r.magic == KRIX_MAGIC && r.error == 0 && !p.sent.empty());
		use_handle(conn, opts, p);
	} else {
		FUZZ_CHECK(err > 0);
	}
	FUZZ_CHECK(krix_close(conn) == 0);
	if (conn_fd >= 0)
		close(conn_fd);
	close_all(p.sent);
	close_all(p.kept);
	FUZZ_CHECK(fuzz_lowest_free_fd() == before);
	return 0;
}
