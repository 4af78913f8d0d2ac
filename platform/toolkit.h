#pragma once
// Window toolkit operations the crawl relies on, and the description of a form from which a
// toolkit builds its window (controls, geometry, anchors, fonts, handlers).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/browser.h"
#include "platform/tree_view.h"

namespace platform {

class IStatusBar {
 public:
  virtual ~IStatusBar() = default;
  // The single simple panel's text, replaced as a whole. 8-bit text.
  virtual void SetSimpleText(const std::string& text) = 0;
  virtual std::string SimpleText() const = 0;
};

class IMemo {
 public:
  virtual ~IMemo() = default;
  // Appends one line at the end; lines are never removed.
  virtual void AddLine(const std::string& line) = 0;
  virtual std::vector<std::string> Lines() const = 0;
};

class IEdit {
 public:
  virtual ~IEdit() = default;
  virtual std::string Text() const = 0;
  virtual void SetText(const std::string& text) = 0;
};

class ILabel {
 public:
  virtual ~ILabel() = default;
  virtual void Show() = 0;
  virtual void Hide() = 0;
  virtual bool Visible() const = 0;
};

class ITimer {
 public:
  virtual ~ITimer() = default;
  // While enabled the timer fires every Interval() ms. Disabling and enabling again starts a
  // full new interval.
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
  virtual int Interval() const = 0;
};

enum class TModalResult { mrYes, mrNo, mrCancel, mrOk };

class IDialogs {
 public:
  virtual ~IDialogs() = default;
  // Modal confirmation box with Yes and No, or Yes, No and Cancel.
  virtual TModalResult Confirm(const std::string& text, bool withCancel) = 0;
  // Modal message box; returns when dismissed.
  virtual void ShowMessage(const std::string& text) = 0;
};

class IApplication {
 public:
  virtual ~IApplication() = default;
  // Runs every pending event handler (page arrivals and timer ticks included) before returning.
  virtual void ProcessMessages() = 0;
  virtual void Sleep(int milliseconds) = 0;
};

// ---- Form description -------------------------------------------------------------------------

enum class TControlKind { ckLabel, ckTreeView, ckStatusBar, ckButton, ckMemo, ckPanel, ckBrowser, ckEdit, ckTimer };

// The edges a control keeps its distance to when its parent is resized.
struct TAnchors {
  bool left = true;
  bool top = true;
  bool right = false;
  bool bottom = false;
};

struct TFontSpec {
  std::string name = "MS Sans Serif";
  // Negative: character height in pixels, as the form file gives it.
  int height = -11;
  bool bold = false;
  // 0xRRGGBB, or -1 for the window text colour.
  std::int32_t color = -1;
};

enum class TAlign { alNone, alBottom, alClient };

struct TControlSpec {
  std::string name;
  TControlKind kind = TControlKind::ckLabel;
  std::string caption;  // caption or text
  std::string parent;   // empty: the form's client area
  int left = 0, top = 0, width = 0, height = 0;
  TAnchors anchors;
  TAlign align = TAlign::alNone;
  int tabOrder = -1;  // -1: takes no focus by tab
  bool visible = true;
  bool enabled = true;
  bool wordWrap = false;
  bool bothScrollBars = false;
  int indent = 0;         // tree view
  int interval = 0;       // timer, ms
  bool hasFont = false;   // false: the form's font
  TFontSpec font;
  std::string handlers;   // the handlers wired below, by name, for reading
  std::function<void()> onClick;
  std::function<void(char16_t& key)> onKeyPress;
  std::function<void()> onTimer;
  BrowserEvents browserEvents;
};

struct TFormSpec {
  std::string name;
  std::string caption;
  int left = 0, top = 0, width = 0, height = 0;
  int clientWidth = 0, clientHeight = 0;
  TFontSpec font;
  std::vector<TControlSpec> controls;  // creation order
  // Asked when the operator closes the window; setting the flag to false keeps the window open.
  // Empty: the window always closes.
  std::function<void(bool& canClose)> onCloseQuery;
};

// The controls a built form hands to its code. Owned by the host that built them; valid until the
// host is destroyed.
struct TFormControls {
  TreeView* categories = nullptr;
  IStatusBar* StatusBar1 = nullptr;
  IMemo* Memo1 = nullptr;
  IEdit* Edit1 = nullptr;
  ILabel* Label1 = nullptr;
  ITimer* reloader = nullptr;
  IBrowser* browser = nullptr;
};

// A window toolkit: builds a form's window from its description and offers the services a
// handler uses. Implemented with Qt (platform/qt) and by the fakes (platform/fake).
class IFormHost {
 public:
  virtual ~IFormHost() = default;
  // Creates the window and its controls and wires the handlers of layout. Called once.
  virtual TFormControls Build(const TFormSpec& layout) = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual std::string Caption() const = 0;
  virtual IDialogs& Dialogs() = 0;
  virtual IApplication& Application() = 0;
};

}  // namespace platform
