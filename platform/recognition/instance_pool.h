#pragma once

#include <memory>
#include <utility>
#include <vector>

// The loaded copies of something slow to load that one thread uses at a time (a Tesseract
// instance, an OpenCV net): the idle ones, and how many there are in all. Its users take an idle
// copy where there is one and make another only below |most| copies; they load the copies
// themselves, outside their lock, and hold their own lock around every call.
template <typename T>
class InstancePool {
 public:
  explicit InstancePool(int most) : most_(most) {}

  bool HasIdle() const { return !idle_.empty(); }
  // Whether a copy has been made, is being made or is in use.
  bool AnyMade() const { return made_ > 0; }
  // Whether a copy is being made.
  bool Making() const { return making_ > 0; }
  // Whether another copy may be made.
  bool BelowMost() const { return made_ < most_; }

  // An idle copy, taken out; HasIdle must hold.
  std::unique_ptr<T> Take() {
    std::unique_ptr<T> copy = std::move(idle_.back());
    idle_.pop_back();
    return copy;
  }
  // Counts a copy about to be made.
  void StartMaking() {
    ++made_;
    ++making_;
  }
  // The copy counted by StartMaking is made (and in use), or failed to be made.
  void Made() { --making_; }
  void NotMade() {
    --making_;
    --made_;
  }
  // Gives back a copy, idle again.
  void Put(std::unique_ptr<T> copy) { idle_.push_back(std::move(copy)); }
  // Gives up a copy in use (it failed): another may be made in its place.
  void GiveUp() { --made_; }

 private:
  int most_;
  std::vector<std::unique_ptr<T>> idle_;
  int made_ = 0;    // made, being made or in use
  int making_ = 0;  // being made
};
