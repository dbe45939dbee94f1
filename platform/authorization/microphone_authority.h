#pragma once

#include <functional>

// What the microphone command asks of the desktop's capture-device authorization.

enum class AuthorizationStatus : int {
  kNotDetermined = 0,  // never asked, and a prompt can be shown
  kRestricted = 1,     // refused by a policy the user cannot change here
  kDenied = 2,         // refused by the user
  kAuthorized = 3,
};

class MicrophoneAuthority {
 public:
  virtual ~MicrophoneAuthority() = default;

  // The current status for recording audio, at once and without prompting. A value outside 0 to 3
  // may come back and counts as a refusal.
  virtual int AuthorizationStatus() = 0;

  // Asks the user for access and returns without waiting. |handler| runs later, exactly once, on a
  // thread other than the caller's, with true when access was granted. The handler may run after
  // the caller has stopped waiting and must then touch only what it owns.
  virtual void RequestAccess(std::function<void(bool granted)> handler) = 0;
};
