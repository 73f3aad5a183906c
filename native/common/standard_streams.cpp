#include "common/standard_streams.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quorlin {

void keep_standard_streams_taken() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: `fd` itself, the ones below it being open.
        const int opened = ::open("/dev/null", O_RDONLY | O_NOCTTY);
        if (opened >= 0 && opened != fd) {
            (void)::dup2(opened, fd);
            (void)::close(opened);
        }
    }
}

}  // namespace quorlin
