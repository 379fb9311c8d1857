// The device-map folder and vcom's entries in it: COMn links to pseudo-terminals, each
// guarded by a lock file so that a leftover of a killed vcom can be told from a live one.
#ifndef VCOM_MAPDIR_H
#define VCOM_MAPDIR_H

#include <string>
#include <sys/types.h>

namespace vcom {

struct MapDir {
    std::string path;
    bool from_env = false; // TTY_COM_DIR named it; otherwise the library's default folder
};

// Pure: TTY_COM_DIR when set and not empty, else $XDG_RUNTIME_DIR/tty-com, else
// /tmp/tty-com-<uid>. The arguments are the variables' values or null.
MapDir choose_map_dir(const char *tty_com_dir, const char *xdg_runtime_dir, uid_t uid);

// Creates the folder (mode 0700) when missing. A folder vcom chose itself may sit in a
// shared place like /tmp, so it must be a real directory of ours that nobody else can
// write; one named by TTY_COM_DIR only has to be a directory. Throws std::runtime_error.
void prepare_map_dir(const MapDir &dir);

// Shell-quotes a path for a "TTY_COM_DIR=..." hint.
std::string shell_quote(const std::string &s);

// One COM number served by this process: $dir/COMn -> target, plus the held lock file
// $dir/.COMn.lock (holding "pid target"). The destructor removes both, and the link only
// while it still points to our target.
class MapEntry {
public:
    // Throws std::runtime_error when COMn is mapped already (see vcom --help).
    MapEntry(const std::string &dir, int port, const std::string &target);
    ~MapEntry();
    MapEntry(const MapEntry &) = delete;
    MapEntry &operator=(const MapEntry &) = delete;

    const std::string &link_path() const { return link_; }
    // Non-empty when a leftover of a killed vcom was replaced: says what it was.
    const std::string &replaced() const { return replaced_; }

private:
    void lock(const std::string &name, bool &fresh);
    void release();

    std::string link_, lock_, target_, replaced_;
    int lock_fd_ = -1;
    bool linked_ = false;
};

} // namespace vcom

#endif
