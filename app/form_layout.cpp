// The window's control table, kept as data like a form file: the toolkit builds the widgets from it.

#include "app/Unit1.h"
#include "app/config.h"
#include "platform/text.h"

using platform::TAlign;
using platform::TAnchors;
using platform::TControlKind;
using platform::TControlSpec;
using platform::TFormSpec;

namespace {

constexpr TAnchors kLeftTop{true, true, false, false};
constexpr TAnchors kRightBottom{false, false, true, true};
constexpr TAnchors kTopRight{false, true, true, false};
constexpr TAnchors kTopRightBottom{false, true, true, true};
constexpr TAnchors kAll{true, true, true, true};

TControlSpec Control(const char* name, TControlKind kind, const char* caption, int left, int top, int width,
                     int height, TAnchors anchors, int tabOrder = -1) {
  TControlSpec c;
  c.name = name;
  c.kind = kind;
  c.caption = caption;
  c.left = left;
  c.top = top;
  c.width = width;
  c.height = height;
  c.anchors = anchors;
  c.tabOrder = tabOrder;
  return c;
}

}  // namespace

TFormSpec Form1Layout(TForm1& form) {
  TFormSpec f;
  f.name = "Form1";
  f.caption = "Wexa Category Scraper - ";
  f.left = 192;
  f.top = 114;
  f.width = 600;
  f.height = 450;
  f.clientWidth = 592;
  f.clientHeight = 416;
  f.font = {"MS Sans Serif", -11, false, -1};
  f.onCloseQuery = [&form](bool& canClose) { form.FormCloseQuery(canClose); };

  auto label1 = Control("Label1", TControlKind::ckLabel, "WAIT", 377, 178, 73, 32, kRightBottom);
  label1.hasFont = true;
  label1.font = {"MS Sans Serif", -27, true, 0xFF0000};
  label1.visible = false;
  f.controls.push_back(label1);

  auto label2 = Control("Label2", TControlKind::ckLabel,
                        "This small control is just so that you can see the actual page on which  things "
                        "currently happen. DO NOT INTERFERE (Click, type, etc) with this control",
                        249, 8, 337, 41, kTopRight);
  label2.wordWrap = true;
  f.controls.push_back(label2);

  f.controls.push_back(Control("Label3", TControlKind::ckLabel, "Content (link+subcategories) count:", 256, 163,
                               167, 13, kRightBottom));

  auto categories = Control("categories", TControlKind::ckTreeView, "", 0, 0, 242, 397, kAll, 0);
  categories.indent = 19;
  // The form hooks its deletion handler into the tree itself (see TForm1's constructor).
  categories.handlers = "OnDeletion=categoriesDeletion";
  f.controls.push_back(categories);

  auto statusBar = Control("StatusBar1", TControlKind::ckStatusBar, "", 0, 397, 592, 19, {true, false, true, true});
  statusBar.align = TAlign::alBottom;
  f.controls.push_back(statusBar);

  auto button1 = Control("Button1", TControlKind::ckButton, "stop", 257, 130, 48, 25, kRightBottom, 2);
  button1.handlers = "OnClick=Button1Click";
  button1.onClick = [&form] { form.Button1Click(); };
  f.controls.push_back(button1);

  auto button2 = Control("Button2", TControlKind::ckButton, "start", 489, 130, 48, 25, kRightBottom, 3);
  button2.handlers = "OnClick=Button2Click";
  button2.onClick = [&form] { form.Button2Click(); };
  f.controls.push_back(button2);

  auto memo = Control("Memo1", TControlKind::ckMemo, "", 250, 208, 337, 189, kRightBottom, 4);
  memo.bothScrollBars = true;
  f.controls.push_back(memo);

  f.controls.push_back(Control("Panel1", TControlKind::ckPanel, "Panel1", 250, 56, 337, 71, kTopRightBottom, 5));

  auto browser = Control("browser", TControlKind::ckBrowser, "", 1, 1, 335, 69, kAll);
  browser.parent = "Panel1";
  browser.align = TAlign::alClient;
  browser.handlers =
      "OnDocumentComplete=browserDocumentComplete OnNavigateComplete2=browserNavigateComplete2 "
      "OnStatusTextChange=browserStatusTextChange";
  browser.browserEvents.onDocumentComplete = [&form](const platform::Variant& pDisp, platform::Variant& url) {
    form.browserDocumentComplete(pDisp, url);
  };
  browser.browserEvents.onNavigateComplete2 = [&form](const platform::Variant& pDisp, platform::Variant& url) {
    form.browserNavigateComplete2(pDisp, url);
  };
  browser.browserEvents.onStatusTextChange = [&form](const std::u16string& text) {
    form.browserStatusTextChange(text);
  };
  // What the browser does on its own (it restarts a page whose renderer stopped) goes to the
  // crawl's log.
  browser.browserEvents.onLogLine = [&form](const std::u16string& line) {
    form.Controls().Memo1->AddLine(platform::ToUtf8(line));
  };
  f.controls.push_back(browser);

  auto edit = Control("Edit1", TControlKind::ckEdit, "5000", 432, 160, 153, 21, kRightBottom, 6);
  edit.handlers = "OnKeyPress=Edit1KeyPress";
  edit.onKeyPress = [&form](char16_t& key) { form.Edit1KeyPress(key); };
  f.controls.push_back(edit);

  auto button3 = Control("Button3", TControlKind::ckButton, "save state", 312, 130, 75, 25, kLeftTop, 7);
  button3.handlers = "OnClick=Button3Click";
  button3.onClick = [&form] { form.Button3Click(); };
  f.controls.push_back(button3);

  auto button4 = Control("Button4", TControlKind::ckButton, "load state", 400, 130, 75, 25, kLeftTop, 8);
  button4.handlers = "OnClick=Button4Click";
  button4.onClick = [&form] { form.Button4Click(); };
  f.controls.push_back(button4);

  auto reloader = Control("reloader", TControlKind::ckTimer, "", 0, 0, 0, 0, kLeftTop);
  reloader.enabled = false;
  reloader.interval = config::kReloadIntervalMs;
  reloader.handlers = "OnTimer=reloaderTimer";
  reloader.onTimer = [&form] { form.reloaderTimer(); };
  f.controls.push_back(reloader);

  return f;
}
