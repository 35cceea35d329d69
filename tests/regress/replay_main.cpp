// Replays fuzz inputs through a harness built without libFuzzer: every file
// named on the command line, or found directly inside a directory named
// there, is one call of LLVMFuzzerTestOneInput. A harness's own checks and
// the sanitizers of the build decide whether an input passes.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static void collect(const std::string &path, std::vector<std::string> *files)
{
	struct stat st;
	if (stat(path.c_str(), &st) < 0) {
		perror(path.c_str());
		return;
	}
	if (!S_ISDIR(st.st_mode)) {
		files->push_back(path);
		return;
	}
	DIR *d = opendir(path.c_str());
	if (!d)
		return;
	std::vector<std::string> found;
	while (struct dirent *e = readdir(d))
		if (e->d_name[0] != '.')
			found.push_back(path + "/" + e->d_name);
	closedir(d);
	std::sort(found.begin(), found.end());
	files->insert(files->end(), found.begin(), found.end());
}

int main(int argc, char **argv)
{
	LLVMFuzzerInitialize(&argc, &argv);
	std::vector<std::string> files;
	for (int i = 1; i < argc; i++)
		collect(argv[i], &files);
	for (const std::string &f : files) {
		std::ifstream in(f, std::ios::binary);
		std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
		fprintf(stderr, "replay: %s (%zu bytes)\n", f.c_str(), data.size());
		LLVMFuzzerTestOneInput(data.data(), data.size());
	}
	printf("replayed %zu inputs\n", files.size());
	return files.empty() ? 1 : 0;
}
