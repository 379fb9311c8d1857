// A pseudo-terminal set up to stand in for a serial device.
#ifndef VCOM_PSEUDOTERM_H
#define VCOM_PSEUDOTERM_H

#include <string>

namespace vcom {

// The master is vcom's end (non-blocking); slave_path is what a COM number maps to.
// vcom keeps a descriptor of the slave open for its whole life: a master whose slave has
// no opener reports a hang-up on every poll, which would leave vcom nothing to wait on
// between two programs opening the port.
class Pty {
public:
    Pty();  // throws std::runtime_error
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int master() const { return master_; }
    const std::string &slave_path() const { return slave_path_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

} // namespace vcom

#endif
