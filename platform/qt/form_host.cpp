#include "platform/qt/form_host.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeView>
#include <algorithm>
#include <stdexcept>

#include "platform/qt/anchors.h"
#include "platform/qt/crash_report.h"
#include "platform/qt/fonts.h"
#include "platform/qt/placeholder_browser.h"
#include "platform/qt/tree_model.h"

namespace platform::qt {

namespace {

// A panel: a raised one-pixel bevel with its caption in the middle (seen only where no child
// covers it).
class PanelWidget : public QFrame {
 public:
  PanelWidget(const QString& caption, QWidget* parent) : QFrame(parent), caption_(caption) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.drawText(contentsRect(), Qt::AlignCenter, caption_);
  }

 private:
  QString caption_;
};

QString ToQString(const std::string& text) { return QString::fromStdString(text); }

// The handlers of events, each run through RunHandler. The arguments are copied, so that a call
// held back while an error report is open still has them.
BrowserEvents GuardedEvents(const BrowserEvents& events) {
  BrowserEvents guarded;
  if (auto handler = events.onDocumentComplete) {
    guarded.onDocumentComplete = [handler](const Variant& pDisp, Variant& url) {
      RunHandler([handler, pDisp, url]() mutable { handler(pDisp, url); });
    };
  }
  if (auto handler = events.onNavigateComplete2) {
    guarded.onNavigateComplete2 = [handler](const Variant& pDisp, Variant& url) {
      RunHandler([handler, pDisp, url]() mutable { handler(pDisp, url); });
    };
  }
  if (auto handler = events.onStatusTextChange) {
    guarded.onStatusTextChange = [handler](const std::u16string& text) {
      RunHandler([handler, text] { handler(text); });
    };
  }
  if (auto handler = events.onLogLine) {
    guarded.onLogLine = [handler](const std::u16string& line) { RunHandler([handler, line] { handler(line); }); };
  }
  return guarded;
}

// Asks the form's close query when the operator closes the window; a refusal keeps it open.
class CloseQueryFilter : public QObject {
 public:
  CloseQueryFilter(QObject* parent, std::function<void(bool&)> query) : QObject(parent), query_(std::move(query)) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::Close) return false;
    bool canClose = true;
    RunHandler([&] { query_(canClose); }, false);
    if (canClose) return false;
    event->ignore();
    return true;
  }

 private:
  std::function<void(bool&)> query_;
};

}  // namespace

QtFormHost::QtFormHost(BrowserFactory browserFactory) : browserFactory_(std::move(browserFactory)) {}

QtFormHost::~QtFormHost() {
  // Timers and the browser go before the widgets; nothing may call a handler after this point.
  timers_.clear();
  browser_.reset();
  window_.reset();
}

TFormControls QtFormHost::Build(const TFormSpec& form) {
  window_ = std::make_unique<QWidget>();
  window_->setObjectName(ToQString(form.name));
  caption_ = form.caption;
  window_->setWindowTitle(ToQString(caption_));
  window_->setFont(MapFont(form.font));
  // The form's colour is the button face.
  QPalette palette = window_->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Button));
  window_->setPalette(palette);
  window_->setAutoFillBackground(true);
  const QSize client = form.clientWidth > 0 ? QSize(form.clientWidth, form.clientHeight) : QSize(form.width, form.height);
  window_->move(form.left, form.top);
  window_->resize(client);
  containers_[window_.get()] = TContainer{client, new TAnchorKeeper(window_.get())};
  widgets_[form.name] = window_.get();
  dialogs_.SetParent(window_.get());
  if (form.onCloseQuery) window_->installEventFilter(new CloseQueryFilter(window_.get(), form.onCloseQuery));

  TFormControls controls;
  for (const TControlSpec& control : form.controls) {
    QWidget* parent = window_.get();
    if (!control.parent.empty()) {
      const auto it = widgets_.find(control.parent);
      if (it == widgets_.end() || !containers_.count(it->second))
        throw std::invalid_argument("control " + control.name + " names an unknown parent " + control.parent);
      parent = it->second;
    }
    BuildControl(control, parent, controls);
  }
  SetTabOrder(form);
  return controls;
}

void QtFormHost::BuildControl(const TControlSpec& control, QWidget* parent, TFormControls& controls) {
  const QString caption = ToQString(control.caption);
  QWidget* widget = nullptr;
  switch (control.kind) {
    case TControlKind::ckLabel: {
      auto* label = new QLabel(caption, parent);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      label->setWordWrap(control.wordWrap);
      widget = label;
      labels_.push_back(std::make_unique<QtLabel>(*label));
      if (control.name == "Label1") controls.Label1 = labels_.back().get();
      break;
    }
    case TControlKind::ckTreeView: {
      auto* view = new QTreeView(parent);
      view->setHeaderHidden(true);
      view->setUniformRowHeights(true);
      view->setIndentation(control.indent);
      view->setEditTriggers(QAbstractItemView::NoEditTriggers);
      view->setSelectionMode(QAbstractItemView::SingleSelection);
      view->setModel(new QtTreeModel(tree_, view));
      widget = view;
      if (!controls.categories) controls.categories = &tree_;
      break;
    }
    case TControlKind::ckStatusBar: {
      auto* statusBar = new StatusBarWidget(parent);
      widget = statusBar;
      if (!controls.StatusBar1) controls.StatusBar1 = statusBar;
      break;
    }
    case TControlKind::ckButton: {
      auto* button = new QPushButton(caption, parent);
      button->setAutoDefault(false);
      if (control.onClick) {
        QObject::connect(button, &QPushButton::clicked, button, [handler = control.onClick] { RunHandler(handler); });
      }
      widget = button;
      break;
    }
    case TControlKind::ckMemo: {
      auto* memo = new QPlainTextEdit(caption, parent);
      memos_.push_back(std::make_unique<QtMemo>(*memo, control.bothScrollBars));
      if (!controls.Memo1) controls.Memo1 = memos_.back().get();
      widget = memo;
      break;
    }
    case TControlKind::ckPanel: {
      widget = new PanelWidget(caption, parent);
      containers_[widget] = TContainer{QSize(control.width, control.height), new TAnchorKeeper(widget)};
      break;
    }
    case TControlKind::ckBrowser:
      BuildBrowser(control, parent, controls);
      return;
    case TControlKind::ckEdit: {
      auto* edit = new QLineEdit(caption, parent);
      edits_.push_back(std::make_unique<QtEdit>(*edit, control.onKeyPress));
      if (!controls.Edit1) controls.Edit1 = edits_.back().get();
      widget = edit;
      break;
    }
    case TControlKind::ckTimer: {
      auto& timer = timers_[control.name];
      timer = std::make_unique<QtTimer>(control.interval, control.enabled, control.onTimer);
      timer->Timer().setObjectName(ToQString(control.name));
      if (!controls.reloader) controls.reloader = timer.get();
      return;
    }
  }

  widget->setObjectName(ToQString(control.name));
  if (control.hasFont) {
    widget->setFont(MapFont(control.font));
    if (control.font.color >= 0) {
      QPalette palette = widget->palette();
      palette.setColor(QPalette::WindowText, QColor::fromRgb(static_cast<QRgb>(control.font.color)));
      widget->setPalette(palette);
    }
  }
  if (auto* label = qobject_cast<QLabel*>(widget)) FitLabelFont(*label, QSize(control.width, control.height));
  if (control.tabOrder < 0 && widget->focusPolicy() != Qt::NoFocus) widget->setFocusPolicy(Qt::ClickFocus);
  widget->setEnabled(control.enabled);
  if (!control.visible) widget->hide();
  const TContainer& container = containers_.at(parent);
  container.keeper->Add(widget, TAnchorRule{QRect(control.left, control.top, control.width, control.height),
                                            container.designSize, control.anchors, control.align});
  widgets_[control.name] = widget;
}

void QtFormHost::BuildBrowser(const TControlSpec& control, QWidget* panel, TFormControls& controls) {
  browser_ = browserFactory_ ? browserFactory_(panel) : std::make_unique<PlaceholderBrowser>(panel);
  browser_->SetEvents(GuardedEvents(control.browserEvents));
  // Whatever widget the factory put into the panel is kept where the table puts the browser.
  const TContainer& container = containers_.at(panel);
  container.keeper->SetRuleForOthers(TAnchorRule{QRect(control.left, control.top, control.width, control.height),
                                                 container.designSize, control.anchors, control.align});
  const auto children = panel->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
  if (!children.isEmpty()) widgets_[control.name] = children.front();
  if (!controls.browser) controls.browser = browser_.get();
}

void QtFormHost::SetTabOrder(const TFormSpec& form) {
  std::vector<std::pair<int, QWidget*>> chain;
  for (const TControlSpec& control : form.controls) {
    if (control.tabOrder < 0) continue;
    QWidget* widget = Widget(control.name);
    if (!widget) continue;
    if (widget->focusPolicy() == Qt::NoFocus) {
      // A container takes no focus itself; its first focusable child stands in its place.
      QWidget* inner = nullptr;
      for (QWidget* child : widget->findChildren<QWidget*>()) {
        if (child->focusPolicy() & Qt::TabFocus) {
          inner = child;
          break;
        }
      }
      widget = inner;
    }
    if (widget) chain.emplace_back(control.tabOrder, widget);
  }
  std::stable_sort(chain.begin(), chain.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1].second, chain[i].second);
  if (!chain.empty()) chain.front().second->setFocus(Qt::OtherFocusReason);
}

void QtFormHost::SetCaption(const std::string& caption) {
  caption_ = caption;
  if (window_) window_->setWindowTitle(ToQString(caption));
}

std::string QtFormHost::Caption() const { return caption_; }

void QtFormHost::Show() {
  if (!window_) return;
  window_->show();
  window_->activateWindow();
}

QWidget* QtFormHost::Widget(const std::string& name) const {
  const auto it = widgets_.find(name);
  return it == widgets_.end() ? nullptr : it->second.data();
}

QTimer* QtFormHost::TimerOf(const std::string& name) const {
  const auto it = timers_.find(name);
  return it == timers_.end() ? nullptr : &it->second->Timer();
}

}  // namespace platform::qt
