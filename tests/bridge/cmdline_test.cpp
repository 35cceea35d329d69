// The command line, run against the built program: every row compares
// standard output, standard error and the exit status exactly.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const char HELP[] =
	"Usage: krix_vxlan [OPTIONS]\n"
	"\n"
	" VXLAN Options:\n"
	"  -I, --vxlan-id\tID of the VXLAN.\n"
	"  -A, --vxlan-addr\tMulticast address of the VXLAN.\n"
	"  -P, --vxlan-port\tPort of the VXLAN (default 4879).\n"
	"  -T, --vxlan-mttl\tMulticast TTL (default 1).\n"
	"\n"
	" KRIX Options:\n"
	"  -s, --sock\tSocket directory of the KRIX switch.\n"
	"  -p, --port\tPort of the KRIX switch.\n"
	"  -d, --daemon\tRun in background.\n"
	"  -v, --verbose\tShow debug output.\n"
	"  -h, --help\tShow this help.\n"
	"\n";

// A directory where no switch can be: a command line that passes
// validation then fails at the switch, naming the path it was given.
#define NOSW "/nonexistent/krix"
const std::string NO_SWITCH = "krix_vxlan: krix_open(\"" NOSW "\"): No such file or directory\n";

struct Result {
	std::string out, err;
	int status;
};

std::string slurp(int fd)
{
	std::string s;
	char buf[4096];
	lseek(fd, 0, SEEK_SET);
	for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;)
		s.append(buf, size_t(n));
	close(fd);
	return s;
}

// Runs the program with argv[0] "krix_vxlan", so that getopt's diagnostics
// carry the same name as every other line.
Result run(const std::vector<std::string> &args)
{
	FILE *out = tmpfile(), *err = tmpfile();
	pid_t pid = fork();
	if (pid == 0) {
		dup2(fileno(out), 1);
		dup2(fileno(err), 2);
		std::vector<char *> argv{const_cast<char *>("krix_vxlan")};
		for (const auto &a : args)
			argv.push_back(const_cast<char *>(a.c_str()));
		argv.push_back(nullptr);
		execv(KRIX_VXLAN_BIN, argv.data());
		_exit(127);
	}
	int status = 0;
	waitpid(pid, &status, 0);
	Result r{slurp(dup(fileno(out))), slurp(dup(fileno(err))), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
	fclose(out);
	fclose(err);
	return r;
}

struct Row {
	const char *name;
	std::vector<std::string> args;
	std::string out, err;
	int status;
};

const Row ROWS[] = {
	{"short help", {"-h"}, HELP, "", 1},
	{"long help", {"--help"}, HELP, "", 1},
	{"help after valid options", {"-I", "5", "-A", "239.1.1.1", "-h"}, HELP, "", 1},
	{"help stops reading", {"-h", "--bogus"}, HELP, "", 1},
	{"unknown short option", {"-x"}, HELP, "krix_vxlan: invalid option -- 'x'\n", 1},
	{"unknown long option", {"--bogus"}, HELP, "krix_vxlan: unrecognized option '--bogus'\n", 1},
	{"missing argument", {"-A", "239.1.1.1", "-I"}, HELP, "krix_vxlan: option requires an argument -- 'I'\n", 1},
	{"argument to a flag", {"--daemon=yes"}, HELP, "krix_vxlan: option '--daemon' doesn't allow an argument\n", 1},
	{"nothing given", {}, "", "krix_vxlan: Invalid VXLAN ID\n", 1},
	{"VNI checked before the group", {"-A", "nonsense"}, "", "krix_vxlan: Invalid VXLAN ID\n", 1},
	{"no group", {"-I", "5"}, "", "krix_vxlan: Invalid VXLAN multicast address\n", 1},
	{"VNI -1 means none", {"-I", "-1", "-A", "239.1.1.1"}, "", "krix_vxlan: Invalid VXLAN ID\n", 1},
	{"VNI -1 after blanks", {"-I", " \t-1", "-A", "239.1.1.1"}, "", "krix_vxlan: Invalid VXLAN ID\n", 1},
	{"VNI -1 before other text", {"-I", "-1xyz", "-A", "239.1.1.1"}, "", "krix_vxlan: Invalid VXLAN ID\n", 1},
	{"unreadable group", {"-I", "5", "-A", "nonsense"}, "", "krix_vxlan: Invalid VXLAN multicast address\n", 1},
	{"broadcast group", {"-I", "5", "-A", "255.255.255.255"}, "", "krix_vxlan: Invalid VXLAN multicast address\n", 1},
	{"last VNI wins", {"-I", "5", "-I", "-1", "-A", "239.1.1.1"}, "", "krix_vxlan: Invalid VXLAN ID\n", 1},
	{"last group wins", {"-I", "5", "-A", "239.1.1.1", "-A", "x"}, "", "krix_vxlan: Invalid VXLAN multicast address\n", 1},
	{"last VNI wins, valid", {"-I", "-1", "-I", "5", "-A", "239.1.1.1", "-s", NOSW}, "", NO_SWITCH, 1},
	{"last path wins", {"-s", "/elsewhere", "-I", "5", "-A", "239.1.1.1", "-s", NOSW}, "", NO_SWITCH, 1},
	{"long forms with = and space", {"--vxlan-id=5", "--vxlan-addr", "239.1.1.1", "--sock=" NOSW}, "", NO_SWITCH, 1},
	{"VNI 0, any group address, stray operand",
	 {"-I", "0", "-A", "10.1.2.3", "-s", NOSW, "extra"}, "", NO_SWITCH, 1},
	{"VNI without digits is 0", {"-I", "abc", "-A", "239.1.1.1", "-s", NOSW}, "", NO_SWITCH, 1},
	{"VNI -2 kept", {"-I", "-2", "-A", "239.1.1.1", "-s", NOSW}, "", NO_SWITCH, 1},
	// Beyond the int range the conversion saturates instead of wrapping,
	// so a huge number can never turn into the "none given" value -1.
	{"VNI beyond the int range", {"-I", "4294967295", "-A", "239.1.1.1", "-s", NOSW}, "", NO_SWITCH, 1},
	{"VNI below the int range", {"-I", "-99999999999999999999", "-A", "239.1.1.1", "-s", NOSW}, "", NO_SWITCH, 1},
	{"all options", {"-I", "5", "-A", "239.1.1.1", "-P", "70000", "-T", "-3", "-p", "7", "-v", "-v", "-s", NOSW},
	 "", NO_SWITCH, 1},
};

TEST(CommandLine, Table)
{
	for (const Row &row : ROWS) {
		SCOPED_TRACE(row.name);
		Result r = run(row.args);
		EXPECT_EQ(r.out, row.out);
		EXPECT_EQ(r.err, row.err);
		EXPECT_EQ(r.status, row.status);
	}
}

TEST(CommandLine, HelpIsFifteenLines)
{
	Result r = run({"-h"});
	EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 15);
}

} // namespace
