#pragma once
// The crawl queue: every category pushed since the queue was created or last emptied, in push
// order, and the read position that separates the taken entries from the pending ones.
//
// Holds plain pointers; the records belong to the tree view's nodes. Single-threaded.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/helper.h"

class TMyQueue {
 public:
  TMyQueue() = default;
  TMyQueue(const TMyQueue&) = delete;
  TMyQueue& operator=(const TMyQueue&) = delete;

  // Appends category at the end. Returns the index of the new entry.
  int Push(TCategory* category);
  // Takes the entry at the read position and moves the position one further; the entry stays in
  // the list. The caller ensures Pending() > 0.
  TCategory* Pop();
  // Number of entries not taken yet.
  int Pending() const { return static_cast<int>(entries_.size()) - readPos_; }
  // Every entry, taken and pending.
  int Count() const { return static_cast<int>(entries_.size()); }
  TCategory* Items(int index) const { return entries_[static_cast<std::size_t>(index)]; }
  int ReadPos() const { return readPos_; }
  // Drops every entry, taken and pending, and sets the read position to 0.
  void Empty();
  // Makes room for n more entries, so that pushing them does not grow the list step by step.
  void Reserve(std::size_t n);

  // True when any entry, taken or pending, has a Url equal to url ignoring letter case (Unicode case
  // folding). O(length of url). Reads the Urls of entries, so their records must still be alive.
  bool HasUrlIgnoringCase(const std::u16string& url) const;

 private:
  std::vector<TCategory*> entries_;
  int readPos_ = 0;
  // Index of every entry by the hash of its folded Url; the entries' own Urls settle collisions.
  // Hashes rather than copies of the Urls keep the queue small in a crawl of a million categories.
  std::unordered_multimap<std::size_t, int> foldedUrls_;
};
