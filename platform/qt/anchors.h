#pragma once
// Delphi-style anchors: where a control goes when its parent's client area is resized. Every edge
// the control is anchored to keeps its distance to that edge of the parent; an axis anchored on
// both sides stretches, an axis anchored on neither keeps the control's centre at the same
// proportion of the parent. Docked controls (bottom, client) follow their alignment instead.
//
// Qt's layouts are not used: the form's table gives fixed positions, and these rules reproduce
// what the original toolkit does with them.

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <vector>

#include "platform/toolkit.h"

namespace platform::qt {

struct TAnchorRule {
  QRect design;         // the control's geometry in its parent at design time
  QSize designParent;   // the parent's client size at design time
  TAnchors anchors;
  TAlign align = TAlign::alNone;
};

// The geometry that rule gives in a parent whose client area now measures parent. Width and
// height never go below 0.
QRect AnchoredRect(const TAnchorRule& rule, QSize parent);

// Keeps the children of one container widget where their rules put them, on every resize of the
// container. Owned by the container (a QObject child); the children are watched through QPointer,
// so a child may be deleted at any time.
class TAnchorKeeper : public QObject {
 public:
  explicit TAnchorKeeper(QWidget* container);

  // Places child by rule now and after every resize of the container.
  void Add(QWidget* child, const TAnchorRule& rule);
  // The rule for direct child widgets that nobody registered (a browser factory's own widget).
  // They are placed by it on every resize and when they arrive.
  void SetRuleForOthers(const TAnchorRule& rule);
  // Places every child by its rule for the container's current size.
  void Apply();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct TEntry {
    QPointer<QWidget> widget;
    TAnchorRule rule;
  };
  bool IsRegistered(const QObject* child) const;

  QWidget* container_;
  std::vector<TEntry> entries_;
  bool hasOthersRule_ = false;
  TAnchorRule othersRule_;
};

}  // namespace platform::qt
