// termios2's header cannot live beside <termios.h>: the speed is set here alone.
#include "plcsim/line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace plcsim {

void SetLineSpeed(int fd, unsigned baudRate) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        throw std::runtime_error(std::string("cannot read line settings: ") + std::strerror(errno));
    }
    tio.c_cflag &= ~(CBAUD | CIBAUD);
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = baudRate;
    tio.c_ospeed = baudRate;
    termios2 taken{};
    if (ioctl(fd, TCSETS2, &tio) != 0 || ioctl(fd, TCGETS2, &taken) != 0 ||
        taken.c_ospeed != baudRate) {
        throw std::runtime_error("unsupported speed " + std::to_string(baudRate));
    }
}

} // namespace plcsim
