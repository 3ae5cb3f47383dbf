#pragma once

namespace plcsim {

// Runs the serial line at any speed (Linux's termios2), not only at the
// classic termios rates; throws when the device refuses it or settles on
// another speed.
void SetLineSpeed(int fd, unsigned baudRate);

} // namespace plcsim
