#pragma once
// Writing to a connection the server has closed raises SIGPIPE, whose
// default ends the host process. OpenSSL's socket writes (and libcurl's on a
// connection handed over to us) cannot ask for MSG_NOSIGNAL: for the length
// of such a call the signal is held back on this thread, and one it raised
// is dropped. The write itself fails with EPIPE, which is reported.
//
//   { SigpipeHeld held; SSL_write(ssl, data, n); }

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace qz {

class SigpipeHeld {
public:
    SigpipeHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        // One that was pending before is not ours to drop.
        pendingBefore_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
    }
    ~SigpipeHeld() {
        if (!pendingBefore_) {
            sigset_t pending;
            sigemptyset(&pending);
            if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
                const timespec now{0, 0};
                sigtimedwait(&pipe_, nullptr, &now);
            }
        }
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;

private:
    sigset_t pipe_;
    sigset_t before_;
    bool pendingBefore_ = false;
};

}  // namespace qz
