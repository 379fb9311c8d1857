// vcom: pseudo-terminals as COM numbers in a device-map folder (see vcom --help).
#include "args.h"
#include "ports.h"
#include "mapdir.h"
#include "pseudoterm.h"
#include "pump.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// Every number the library's tables reach, as the library would map it.
int list(bool udev)
{
    ports::Roots roots = ports::systemRoots();
    roots.ignoredPid = ::getpid();
    const std::vector<ports::Port> found = ports::scan(roots, 0, vcom::kMaxPort);
    const std::string out = udev ? ports::udevRules(found) : ports::listing(found);
    if (udev && out.empty())
        std::fputs("vcom: no USB adapter found\n", stderr);
    std::fputs(out.c_str(), stdout);
    return 0;
}

int run(const vcom::Command &cmd)
{
    if (cmd.mode == vcom::Mode::List)
        return list(cmd.udev);

    // Signals are taken from a descriptor in the event loop, so that every way out runs the
    // destructors that remove our entries. They are blocked before any entry exists.
    // A signal that vcom was started with ignored (nohup, the background of a script) stays
    // ignored: a blocked signal would be queued even so.
    sigset_t ending;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaddset(&ending, sig);
    }
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int signal_fd = ::signalfd(-1, &ending, SFD_CLOEXEC);
    if (signal_fd < 0) {
        std::perror("vcom: signalfd");
        return 1;
    }

    const vcom::MapDir dir = vcom::choose_map_dir(std::getenv("TTY_COM_DIR"), std::getenv("XDG_RUNTIME_DIR"), ::getuid());
    vcom::prepare_map_dir(dir);

    std::vector<std::unique_ptr<vcom::Pty>> ptys;
    std::vector<std::unique_ptr<vcom::MapEntry>> entries;
    for (int port : cmd.ports) {
        // A remote entry names the serial server; every other one a pseudo-terminal of ours.
        std::string target = cmd.target;
        if (cmd.mode != vcom::Mode::Remote) {
            ptys.push_back(std::make_unique<vcom::Pty>());
            target = ptys.back()->slave_path();
        }
        entries.push_back(std::make_unique<vcom::MapEntry>(dir.path, port, target));
        if (!entries.back()->replaced().empty())
            std::fprintf(stderr, "vcom: replaced %s\n", entries.back()->replaced().c_str());
    }

    std::vector<vcom::Route> routes;
    std::string what;
    auto name = [&](size_t i) {
        return "COM" + std::to_string(cmd.ports[i]) + " -> " + ptys[i]->slave_path();
    };
    switch (cmd.mode) {
    case vcom::Mode::Echo:
        routes.push_back({ptys[0]->master(), ptys[0]->master(), false});
        what = name(0) + ": sends back every byte it receives";
        break;
    case vcom::Mode::Pair:
        routes.push_back({ptys[0]->master(), ptys[1]->master(), false});
        routes.push_back({ptys[1]->master(), ptys[0]->master(), false});
        what = name(0) + " and " + name(1) + ": joined, what one sends the other receives";
        break;
    case vcom::Mode::Cat:
        routes.push_back({STDIN_FILENO, ptys[0]->master(), true});
        routes.push_back({ptys[0]->master(), STDOUT_FILENO, false});
        what = name(0) + ": standard input goes to the port, what it sends to standard output";
        break;
    case vcom::Mode::Remote:
        what = "COM" + std::to_string(cmd.ports[0]) + " -> " + cmd.target + ": a port on a serial server";
        break;
    case vcom::Mode::List:
        break;
    }
    // The library looks in vcom's default folder by itself; a program started with another
    // environment (another user's, or one with TTY_COM_DIR set) needs to be pointed there.
    if (!dir.from_env)
        std::fprintf(stderr, "vcom: entries in %s, where programs on the library look when TTY_COM_DIR is not set "
                             "(elsewhere: TTY_COM_DIR=%s)\n",
                     dir.path.c_str(), vcom::shell_quote(dir.path).c_str());
    std::fprintf(stderr, "vcom: %s. Ctrl+C ends.\n", what.c_str());

    vcom::Outcome end = vcom::pump(routes, signal_fd);
    ::close(signal_fd);
    if (end.kind == vcom::Outcome::Failure) {
        std::fprintf(stderr, "vcom: %s\n", end.message.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    vcom::Parsed parsed = vcom::parse_args(std::vector<std::string>(argv + 1, argv + argc));
    switch (parsed.kind) {
    case vcom::Parsed::Help:
        std::fputs(vcom::usage_line().data(), stdout);
        std::fputs("\n\n", stdout);
        std::fputs(vcom::help_text().data(), stdout);
        return 0;
    case vcom::Parsed::Error:
        std::fprintf(stderr, "vcom: %s\n%s\n", parsed.error.c_str(), vcom::usage_line().data());
        return 2;
    case vcom::Parsed::Run:
        break;
    }
    try {
        return run(parsed.command);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vcom: %s\n", e.what());
        return 1;
    }
}
