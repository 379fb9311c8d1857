// A thread of a test seen, and held, at the library's calls to poll(), where a scheduler
// could deschedule it: the test executable defines poll() itself (hold.cpp) and forwards to
// the real one. Only the thread that asked is watched; every other poll passes untouched.
#ifndef TESTS_TTY_HOLD_H
#define TESTS_TTY_HOLD_H

namespace testing_tty {

enum class Polls {
    Waits, // polls with a time-out other than 0: a call waiting
    Checks // polls with a time-out of 0: a call looking without waiting
};

// Watches the calling thread's polls of that kind from now on; with `hold`, each one waits
// before polling until release_polls().
void watch_polls(Polls which, bool hold);
// Waits until the watched thread has entered n such polls; false after 5 s ("did not get
// there", never a speed claim).
bool wait_for_polls(int n);
// The polls entered since watch_polls.
int polls_seen();
// Lets held polls go on, and holds none from now on.
void release_polls();
// Watches no thread any more, and forgets the polls seen.
void stop_watching();

} // namespace testing_tty

#endif
