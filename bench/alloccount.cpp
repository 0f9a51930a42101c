// libtavix_alloccount.so, loaded with LD_PRELOAD: counts the heap allocations
// of the process (malloc, calloc, realloc and the aligned ones; operator new
// comes through malloc) in a file that others read while it runs. The file
// is named by TAVIX_ALLOC_COUNTER and holds one native 64-bit count.

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *p, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

std::atomic<std::uint64_t> early{0}; // until the file is mapped
std::atomic<std::uint64_t> *counter = &early;

void count()
{
    counter->fetch_add(1, std::memory_order_relaxed);
}

[[gnu::constructor]] void mapCounter()
{
    const char *path = std::getenv("TAVIX_ALLOC_COUNTER");
    if (!path)
        return;
    const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    void *shared = ::ftruncate(fd, sizeof(std::uint64_t)) == 0
        ? ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
        : MAP_FAILED;
    ::close(fd);
    if (shared == MAP_FAILED)
        return;
    auto *mapped = static_cast<std::atomic<std::uint64_t> *>(shared);
    mapped->store(early.load());
    counter = mapped;
}

} // namespace

extern "C" {

void *malloc(std::size_t size)
{
    count();
    return __libc_malloc(size);
}

void *calloc(std::size_t count_, std::size_t size)
{
    count();
    return __libc_calloc(count_, size);
}

void *realloc(void *p, std::size_t size)
{
    count();
    return __libc_realloc(p, size);
}

void *memalign(std::size_t alignment, std::size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(std::size_t alignment, std::size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, std::size_t alignment, std::size_t size)
{
    count();
    void *p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

} // extern "C"
