#include "random/os_random.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace kestrova::random {
namespace {

constexpr uint32_t kInternalErrorCode = 0x80000001u;

uint32_t error_code(int err) { return err > 0 ? uint32_t(err) : kInternalErrorCode; }

// -1 undecided, 0 unavailable, 1 available.
std::atomic<int> getrandom_state{-1};

bool getrandom_available() {
    int state = getrandom_state.load(std::memory_order_relaxed);
    if (state < 0) {
        long r = syscall(SYS_getrandom, nullptr, 0, 1 /* GRND_NONBLOCK */);
        state = (r < 0 && (errno == EPERM || errno == ENOSYS)) ? 0 : 1;
        getrandom_state.store(state, std::memory_order_relaxed);
    }
    return state == 1;
}

std::mutex urandom_mutex;
int urandom_fd = -1;

// Waits once until the kernel pool is initialised, then keeps /dev/urandom open.
uint32_t open_urandom() {
    std::lock_guard<std::mutex> lock(urandom_mutex);
    if (urandom_fd >= 0) return 0;
    int fd;
    do { fd = open("/dev/random", O_RDONLY | O_CLOEXEC); } while (fd < 0 && errno == EINTR);
    if (fd < 0) return error_code(errno);
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int r = poll(&p, 1, -1);
        if (r >= 0) break;
        if (errno != EINTR && errno != EAGAIN) {
            int err = errno;
            close(fd);
            return error_code(err);
        }
    }
    close(fd);
    do { fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC); } while (fd < 0 && errno == EINTR);
    if (fd < 0) return error_code(errno);
    urandom_fd = fd;
    return 0;
}

}  // namespace

uint32_t os_random_32(uint8_t out[32]) {
    size_t filled = 0;
    if (getrandom_available()) {
        while (filled < 32) {
            long r = syscall(SYS_getrandom, out + filled, 32 - filled, 0);
            if (r < 0) {
                if (errno == EINTR) continue;
                return error_code(errno);
            }
            filled += size_t(r);
        }
        return 0;
    }
    if (uint32_t err = open_urandom()) return err;
    while (filled < 32) {
        ssize_t r = read(urandom_fd, out + filled, 32 - filled);
        if (r < 0) {
            if (errno == EINTR) continue;
            return error_code(errno);
        }
        if (r == 0) return kInternalErrorCode;  // an empty read would otherwise spin forever
        filled += size_t(r);
    }
    return 0;
}

}  // namespace kestrova::random
