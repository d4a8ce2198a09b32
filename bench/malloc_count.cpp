// Preloaded into the forwarder by the benchmark: counts every heap
// allocation into an 8-byte counter in the file that MALLOC_COUNT_FILE
// names, so that the benchmark can read the count while the process runs.
#include <sys/mman.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *__libc_memalign(size_t, size_t);

namespace {

std::atomic<unsigned long> *counter;
bool tried;

void
count()
{
	if (!tried) {
		tried = true;
		const char *path = getenv("MALLOC_COUNT_FILE");
		int fd = path ? open(path, O_RDWR | O_CREAT, 0600) : -1;
		if (fd != -1 && ftruncate(fd, sizeof(*counter)) == 0) {
			void *p = mmap(nullptr, sizeof(*counter),
			    PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
			if (p != MAP_FAILED)
				counter = static_cast<
				    std::atomic<unsigned long> *>(p);
		}
		if (fd != -1)
			close(fd);
	}
	if (counter)
		counter->fetch_add(1, std::memory_order_relaxed);
}

} // namespace

extern "C" void *
malloc(size_t size)
{
	count();
	return __libc_malloc(size);
}

extern "C" void *
calloc(size_t n, size_t size)
{
	count();
	return __libc_calloc(n, size);
}

extern "C" void *
realloc(void *p, size_t size)
{
	count();
	return __libc_realloc(p, size);
}

extern "C" void *
aligned_alloc(size_t align, size_t size)
{
	count();
	return __libc_memalign(align, size);
}

extern "C" int
posix_memalign(void **p, size_t align, size_t size)
{
	count();
	*p = __libc_memalign(align, size);
	return *p ? 0 : 12; /* ENOMEM */
}
