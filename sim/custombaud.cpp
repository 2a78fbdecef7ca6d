// The rate of a terminal set to a non-standard speed, which termios cannot name. Kept in
// a file of its own: the kernel's termios2 header clashes with the C library's termios.h.

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace kvsim {

long customBaud(int fd) {
#if defined(TCGETS2) && defined(BOTHER)
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0 || (t.c_cflag & CBAUD) != BOTHER) return 0;
    return static_cast<long>(t.c_ospeed);
#else
    (void)fd;
    return 0;
#endif
}

} // namespace kvsim
