#include "app/queue.h"

#include "platform/text.h"

int TMyQueue::Push(TCategory* category) {
  entries_.push_back(category);
  foldedUrls_.emplace(std::hash<std::u16string>{}(platform::FoldCase(category->Url)),
                      static_cast<int>(entries_.size()) - 1);
  return static_cast<int>(entries_.size()) - 1;
}

TCategory* TMyQueue::Pop() { return entries_[static_cast<std::size_t>(readPos_++)]; }

void TMyQueue::Empty() {
  entries_.clear();
  foldedUrls_.clear();
  readPos_ = 0;
}

void TMyQueue::Reserve(std::size_t n) {
  entries_.reserve(entries_.size() + n);
  foldedUrls_.reserve(foldedUrls_.size() + n);
}

bool TMyQueue::HasUrlIgnoringCase(const std::u16string& url) const {
  const std::u16string folded = platform::FoldCase(url);
  const auto [begin, end] = foldedUrls_.equal_range(std::hash<std::u16string>{}(folded));
  for (auto it = begin; it != end; ++it) {
    if (platform::FoldCase(entries_[static_cast<std::size_t>(it->second)]->Url) == folded) return true;
  }
  return false;
}
