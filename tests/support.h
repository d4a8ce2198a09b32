// Helpers shared by the unit and end-to-end tests: temporary directories,
// files, loopback ports and deadlines.
#ifndef BRENNIX_TESTS_SUPPORT_H
#define BRENNIX_TESTS_SUPPORT_H

#include <chrono>
#include <string>

// A directory under /tmp that is removed, with everything in it, when the
// object goes out of scope.
struct TempDir {
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	std::string path;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);

// A port that was free for both TCP and UDP a moment ago.
int free_port();

using Clock = std::chrono::steady_clock;
inline Clock::time_point
deadline_in(double seconds)
{
	return Clock::now() +
	    std::chrono::duration_cast<
	        Clock::duration>(std::chrono::duration<double>(seconds));
}

#endif
