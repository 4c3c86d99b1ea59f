// The signals that end a console scan (Ctrl-C, Ctrl-\, hang-up,
// termination), held back for the life of the object: one that comes in
// between is handled when the object goes, and the mask is as it was.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace purgato {

class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) sigaddset(&set, s);
    held_ = ::pthread_sigmask(SIG_BLOCK, &set, &old_) == 0;
  }
  ~SignalsHeld() {
    if (held_) ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
  bool held_ = false;
};

}  // namespace purgato
