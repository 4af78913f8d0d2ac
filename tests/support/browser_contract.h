#pragma once
// The browser contract: pages, and the values that the browser and the members of their documents
// must give. One suite, run against the WebEngine browser (qt_tests) and against the fake browser
// and DOM (platform_tests), so that the unit tests' pages answer as the engine's do. Where the fake
// does not follow the engine, the probe names the difference; the crawl's decisions never rest on
// such a member.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/browser.h"
#include "platform/fake/fake_dom.h"
#include "platform/text.h"

namespace browser_contract {

using platform::Variant;
using platform::fake::At;
using platform::fake::El;
using platform::fake::FakeNodePtr;
using platform::fake::Text;

struct TContractPage {
  std::string path;
  std::vector<FakeNodePtr> body;

  // The page as a server sends it: the body's elements in a document without title.
  std::string Markup() const {
    std::u16string html = u"<!DOCTYPE html><html><head></head><body>";
    for (const FakeNodePtr& node : body) html += node->OuterHtml();
    html += u"</body></html>";
    return platform::ToUtf8(html);
  }
};

// A browser under contract, with the means to load the contract's pages.
class TContractBrowser {
 public:
  TContractBrowser() = default;
  TContractBrowser(const TContractBrowser&) = delete;
  TContractBrowser& operator=(const TContractBrowser&) = delete;
  virtual ~TContractBrowser() = default;

  virtual platform::IBrowser& Browser() = 0;
  // The address at which path is served.
  virtual std::u16string Url(const std::string& path) = 0;
  // Navigates to page; true once its document-complete event came (bounded wait).
  virtual bool Load(const TContractPage& page) = 0;
  // Navigates to an address whose load does not end while the test looks.
  virtual void StartEndlessLoad() = 0;
  virtual bool IsFake() const = 0;
};

// A directory-like page with the shapes the parsers read: list items with links, counts, "@" and
// " - ", paragraphs, nested blocks, a table, a line break, links without and outside the site.
inline TContractPage MembersPage() {
  return TContractPage{
      "/c/dir/members",
      {At(0, El(u"P", {Text(u"Intro   text\n  over lines")})),
       El(u"UL",
          {At(20, El(u"LI", {El(u"A", {{u"href", u"/Arts/Music/"}}, {Text(u"Music")}), Text(u" "),
                             El(u"I", {Text(u"(1,234)")})})),
           At(40, El(u"LI", {El(u"A", {{u"href", u"rel/x?y=1&z=2"}}, {Text(u"Rel")}), Text(u"   "),
                             El(u"I", {Text(u"(12)")}), Text(u" @")})),
           At(60, El(u"LI", {El(u"B", {Text(u"Bold")}), Text(u" - "), El(u"SPAN", {Text(u"dash")})})),
           At(80, El(u"LI", {El(u"A", {{u"href", u"../up/"}}, {Text(u" Spaced  name ")}), Text(u" "),
                             El(u"I", {Text(u" (7) ")})}))}),
       At(100, El(u"P", {Text(u"See also:")})),
       El(u"DIV", {Text(u"one"), El(u"DIV", {Text(u"two")}), Text(u"three")}),
       El(u"TABLE", {El(u"TBODY", {El(u"TR", {El(u"TD", {Text(u"a")}), El(u"TD", {Text(u"b")})}),
                                   El(u"TR", {El(u"TD", {Text(u"c")}), El(u"TD", {Text(u"d")})})})}),
       El(u"P", {Text(u"line"), El(u"BR"), Text(u"break")}),
       El(u"A", {{u"name", u"anchor"}}, {Text(u"no href")}),
       El(u"A", {{u"href", u"http://other.example/z"}}, {Text(u"Z")}),
       El(u"SPAN", {Text(u"not a link")}),
       El(u"A", {{u"href", u"/Ünï cödé/?q=ä b"}}, {Text(u"Uni")})}};
}

inline Variant Tags(const Variant& owner, const char16_t* tag) { return owner.Get(u"all").Call(u"tags", {Variant(tag)}); }
inline Variant Item(const Variant& collection, int index) { return collection.Call(u"item", {Variant(index)}); }

// One member of one element: the element is document.all.tags(tag).item(index).
struct TProbe {
  const char16_t* tag;
  int index;
  const char16_t* member;
  // What the engine gives; nullopt: the call raises EAutomationError.
  std::optional<std::u16string> value;
  // When the fake differs: what it gives instead, and why that is left so.
  std::optional<std::u16string> fakeValue = std::nullopt;
  const char* difference = nullptr;
};

inline std::vector<TProbe> MembersPageProbes(TContractBrowser& b) {
  return {
      {u"P", 0, u"innertext", u"Intro text over lines"},
      {u"LI", 0, u"innertext", u"Music (1,234)"},
      {u"LI", 1, u"innertext", u"Rel (12) @"},
      {u"LI", 2, u"innertext", u"Bold - dash"},
      {u"LI", 3, u"innertext", u"Spaced name (7)"},
      {u"A", 2, u"innertext", u"Spaced name ", u"Spaced name",
       "the engine keeps an inline element's last space when more text follows on its line; the fake "
       "sees only the element and drops it. Category names are link texts, which directory pages write "
       "without such spaces"},
      {u"I", 2, u"innertext", u"(7)"},
      {u"UL", 0, u"innertext", u"Music (1,234)\nRel (12) @\nBold - dash\nSpaced name (7)"},
      {u"DIV", 0, u"innertext", u"one\ntwo\nthree"},
      {u"TABLE", 0, u"innertext", u"a\tb\nc\td"},
      {u"P", 2, u"innertext", u"line\nbreak"},
      {u"BODY", 0, u"innertext",
       u"Intro text over lines\n\nMusic (1,234)\nRel (12) @\nBold - dash\nSpaced name (7)\n\nSee also:\n\none\ntwo\nthree\n"
       u"a\tb\nc\td\n\nline\nbreak\n\nno hrefZnot a linkUni"},
      {u"A", 0, u"href", b.Url("/Arts/Music/")},
      {u"A", 1, u"href", b.Url("/c/dir/rel/x?y=1&z=2")},
      {u"A", 2, u"href", b.Url("/c/up/")},
      {u"A", 3, u"href", u""},
      {u"A", 4, u"href", u"http://other.example/z"},
      {u"A", 5, u"href", b.Url("/%C3%9Cn%C3%AF%20c%C3%B6d%C3%A9/?q=%C3%A4%20b"), b.Url("/Ünï cödé/?q=ä b"),
       "the engine percent-encodes what an address may not hold as it is; the fake keeps the characters"},
      {u"SPAN", 0, u"href", std::nullopt},
      {u"LI", 0, u"href", std::nullopt},
      {u"LI", 0, u"outerhtml", u"<li><a href=\"/Arts/Music/\">Music</a> <i>(1,234)</i></li>"},
      {u"LI", 1, u"innerhtml", u"<a href=\"rel/x?y=1&amp;z=2\">Rel</a>   <i>(12)</i> @"},
      {u"P", 2, u"outerhtml", u"<p>line<br>break</p>"},
      {u"A", 2, u"outerhtml", u"<a href=\"../up/\"> Spaced  name </a>"},
      {u"LI", 0, u"tagName", u"LI"},
      {u"LI", 0, u"nosuchmember", std::nullopt},
  };
}

inline std::optional<std::u16string> Read(const Variant& element, const char16_t* member) {
  try {
    return element.Get(member).AsText();
  } catch (const EAutomationError&) {
    return std::nullopt;
  }
}

inline std::string Show(const std::optional<std::u16string>& v) {
  return v ? "\"" + platform::ToUtf8(*v) + "\"" : std::string("(raises)");
}

// The members of the page's elements, its document and its collections.
inline void CheckMembersPage(TContractBrowser& b) {
  ASSERT_TRUE(b.Load(MembersPage()));
  const Variant document = b.Browser().Document();
  ASSERT_TRUE(document.IsObject());
  EXPECT_TRUE(b.Browser().IsHtmlDocument(document));

  for (const TProbe& p : MembersPageProbes(b)) {
    SCOPED_TRACE(platform::ToUtf8(p.tag) + "[" + std::to_string(p.index) + "]." + platform::ToUtf8(p.member));
    const Variant element = Item(Tags(document, p.tag), p.index);
    ASSERT_TRUE(element.IsObject());
    const std::optional<std::u16string> expected = b.IsFake() && p.difference ? p.fakeValue : p.value;
    EXPECT_EQ(Show(Read(element, p.member)), Show(expected)) << (p.difference ? p.difference : "");
  }

  // Tag names compare ignoring case; item past either end is not an element.
  const Variant items = Tags(document, u"li");
  EXPECT_EQ(items.Get(u"length").AsInteger(), 4);
  EXPECT_TRUE(Item(items, 4).IsNull());
  EXPECT_TRUE(Item(items, -1).IsNull());
  EXPECT_THROW(items.Get(u"innertext"), EAutomationError);
  // Vertical positions follow the flow: the items one below the other, "See also:" below them.
  int previous = Item(Tags(document, u"P"), 0).Get(u"offsetTop").AsInteger();
  for (int i = 0; i < 4; ++i) {
    const int top = Item(items, i).Get(u"offsetTop").AsInteger();
    EXPECT_GT(top, previous) << "item " << i;
    previous = top;
  }
  EXPECT_GT(Item(Tags(document, u"P"), 1).Get(u"offsetTop").AsInteger(), previous);

  // The document: the parser's head is there, its all starts with the HTML element, and it has the
  // collection and the body but no element member.
  const Variant all = document.Get(u"all");
  EXPECT_EQ(Item(all, 0).Get(u"tagName").AsText(), u"HTML");
  EXPECT_EQ(Item(all, 1).Get(u"tagName").AsText(), u"HEAD");
  EXPECT_EQ(Item(all, 2).Get(u"tagName").AsText(), u"BODY");
  EXPECT_EQ(document.Get(u"body").Get(u"tagName").AsText(), u"BODY");
  for (const char16_t* member : {u"innertext", u"outerhtml", u"innerhtml", u"offsetTop", u"href", u"tagName"}) {
    SCOPED_TRACE(platform::ToUtf8(member));
    EXPECT_THROW(document.Get(member), EAutomationError);
  }
  // The body's markup as the page check reads it through the control.
  const std::u16string body = b.Browser().Application().Get(u"Document").Get(u"body").Get(u"innerhtml").AsText();
  EXPECT_EQ(body.rfind(u"<p>Intro", 0), 0u);
}

// The ready state and the document through a browser's life: none before the first load, none
// while a load runs or after Stop cancelled it.
inline void CheckReadyStates(TContractBrowser& b) {
  platform::IBrowser& browser = b.Browser();
  EXPECT_EQ(browser.ReadyState(), 0) << "before any navigation";
  EXPECT_TRUE(browser.Document().IsEmpty());
  ASSERT_TRUE(b.Load(MembersPage()));
  EXPECT_EQ(browser.ReadyState(), platform::kReadyStateComplete);
  const Variant held = browser.Document();
  EXPECT_TRUE(held.IsObject());
  b.StartEndlessLoad();
  EXPECT_EQ(browser.ReadyState(), 1) << "loading";
  EXPECT_TRUE(browser.Document().IsEmpty()) << "the page being replaced is no longer the document";
  EXPECT_EQ(Item(Tags(held, u"LI"), 0).Get(u"innertext").AsText(), u"Music (1,234)") << "a held document stays readable";
  browser.Stop();
  EXPECT_EQ(browser.ReadyState(), 3) << "a cancelled load is not complete";
  EXPECT_TRUE(browser.Document().IsEmpty());
  browser.Stop();
  EXPECT_EQ(browser.ReadyState(), 3);
  ASSERT_TRUE(b.Load(MembersPage()));
  EXPECT_EQ(browser.ReadyState(), platform::kReadyStateComplete);
  browser.Stop();
  EXPECT_EQ(browser.ReadyState(), platform::kReadyStateComplete) << "Stop on a complete page changes nothing";
  EXPECT_TRUE(browser.Document().IsObject());
}

}  // namespace browser_contract
