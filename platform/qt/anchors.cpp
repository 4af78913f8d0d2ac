#include "platform/qt/anchors.h"

#include <QChildEvent>
#include <QEvent>
#include <algorithm>

namespace platform::qt {

namespace {

// One axis: start and length of the control for a parent that went from designLength to length.
void PlaceAxis(bool nearEdge, bool farEdge, int designStart, int designSize, int designLength, int length,
               int& start, int& size) {
  const int delta = length - designLength;
  size = designSize;
  if (nearEdge && farEdge) {
    start = designStart;
    size = designSize + delta;
  } else if (farEdge) {
    start = designStart + delta;
  } else if (nearEdge) {
    start = designStart;
  } else {
    // Neither edge: the centre keeps its proportion of the parent.
    const int centre = designStart + designSize / 2;
    start = (designLength > 0 ? static_cast<int>(static_cast<long long>(centre) * length / designLength) : centre) -
            designSize / 2;
  }
  size = std::max(size, 0);
}

}  // namespace

QRect AnchoredRect(const TAnchorRule& rule, QSize parent) {
  if (rule.align == TAlign::alBottom) {
    const int height = rule.design.height();
    return QRect(0, parent.height() - height, std::max(parent.width(), 0), height);
  }
  TAnchors anchors = rule.anchors;
  if (rule.align == TAlign::alClient) anchors = TAnchors{true, true, true, true};
  int left = 0, width = 0, top = 0, height = 0;
  PlaceAxis(anchors.left, anchors.right, rule.design.left(), rule.design.width(), rule.designParent.width(),
            parent.width(), left, width);
  PlaceAxis(anchors.top, anchors.bottom, rule.design.top(), rule.design.height(), rule.designParent.height(),
            parent.height(), top, height);
  return QRect(left, top, width, height);
}

TAnchorKeeper::TAnchorKeeper(QWidget* container) : QObject(container), container_(container) {
  container_->installEventFilter(this);
}

void TAnchorKeeper::Add(QWidget* child, const TAnchorRule& rule) {
  entries_.push_back({child, rule});
  child->setGeometry(AnchoredRect(rule, container_->size()));
}

void TAnchorKeeper::SetRuleForOthers(const TAnchorRule& rule) {
  hasOthersRule_ = true;
  othersRule_ = rule;
  Apply();
}

bool TAnchorKeeper::IsRegistered(const QObject* child) const {
  return std::any_of(entries_.begin(), entries_.end(), [child](const TEntry& e) { return e.widget == child; });
}

void TAnchorKeeper::Apply() {
  const QSize size = container_->size();
  for (const TEntry& entry : entries_) {
    if (entry.widget) entry.widget->setGeometry(AnchoredRect(entry.rule, size));
  }
  if (!hasOthersRule_) return;
  const QRect othersRect = AnchoredRect(othersRule_, size);
  for (QWidget* child : container_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    if (!child->isWindow() && !IsRegistered(child)) child->setGeometry(othersRect);
  }
}

bool TAnchorKeeper::eventFilter(QObject* watched, QEvent* event) {
  if (watched == container_) {
    // A child arriving is only half constructed when ChildAdded comes, so it is placed when it is
    // polished (before it is first shown) instead.
    if (event->type() == QEvent::Resize) {
      Apply();
    } else if (event->type() == QEvent::ChildPolished && hasOthersRule_) {
      auto* child = static_cast<QChildEvent*>(event)->child();
      if (child->isWidgetType() && !static_cast<QWidget*>(child)->isWindow() && !IsRegistered(child))
        static_cast<QWidget*>(child)->setGeometry(AnchoredRect(othersRule_, container_->size()));
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace platform::qt
