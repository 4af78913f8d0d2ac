#pragma once
// A TForm1 built on the fake toolkit, with helpers to make records, nodes and pages.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "common/logging.h"
#include "platform/fake/fake_dom.h"
#include "platform/fake/fake_host.h"
#include "tests/support/model_environment.h"

namespace wexa_test {

using platform::TreeNode;
using platform::fake::At;
using platform::fake::El;
using platform::fake::FakeNodePtr;
using platform::fake::FakePage;
using platform::fake::Text;

inline const std::u16string kRoot = u"http://www.wexa.org";

// Each test runs in a working directory of its own, where the state files go, with the XML
// persistence started and the model's classes registered as at program start.
class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("WEXA_ROOT_URL");
    unsetenv("WEXA_SEARCH_HOST");
    form = std::make_unique<TForm1>(host);
  }
  void TearDown() override { form.reset(); }

  // Declared first: they outlive the form and its records.
  test_support::ModelPersistence persistence_;
  test_support::WorkingFolder folder_{"wexa-form-test-"};
  const std::filesystem::path& workDir = folder_.Path();

  // A fresh host and form, for table-driven tests that need a clean window per case.
  void Restart() {
    form.reset();
    owned.clear();
    host.~FakeFormHost();
    new (&host) platform::fake::FakeFormHost();
    form = std::make_unique<TForm1>(host);
  }

  // A real category node under parent (nullptr: top level), recorded in the store.
  TreeNode* AddReal(TreeNode* parent, int id, const std::u16string& url) {
    auto* record = new TCategory(id, u"c" + url, url, 100);
    form->Directory().AddCategory(record);
    return form->Categories().AddChildObject(parent, "c", record);
  }
  TreeNode* AddSymbolic(TreeNode* parent, const std::u16string& url) {
    auto* record = new TSymbolicCategory(-1, u"s", url);
    form->Directory().AddCategory(record);
    return form->Categories().AddChildObject(parent, "s@", record);
  }
  TCategory* Queued(int id, const std::u16string& url) {
    auto* record = new TCategory(id, u"q", url, 100);
    owned.emplace_back(record);
    form->Queue().Push(record);
    return record;
  }

  // Puts "start" into the running state with an empty queue and a loading root page.
  void StartFresh(const std::string& minimum = "5000") {
    host.edit.SetText(minimum);
    host.Click("Button2");
  }

  // "caption#ID(children)" of every node of the tree view, the ID for real categories only.
  std::string Tree() const {
    std::string out;
    for (std::size_t i = 0; i < form->Categories().TopLevelCount(); ++i) DumpNode(form->Categories().TopLevel(i), out);
    return out;
  }
  static void DumpNode(const TreeNode* n, std::string& out) {
    out += n->Text();
    if (const auto* c = dynamic_cast<const TCategory*>(n->Data())) out += "#" + std::to_string(c->ID);
    out += "(";
    for (const TreeNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) DumpNode(c, out);
    out += ")";
  }

  std::vector<std::unique_ptr<TCategory>> owned;
  platform::fake::FakeFormHost host;
  std::unique_ptr<TForm1> form;
};

// A list item "<li><a href=HREF>NAME</a> <i>COUNT</i> TAIL</li>" at vertical position top.
// An empty count leaves the I element out.
inline FakeNodePtr Li(int top, const std::u16string& name, const std::u16string& href, const std::u16string& count,
                      const std::u16string& tail = u"") {
  std::vector<FakeNodePtr> children{El(u"A", {{u"href", href}}, {Text(name)})};
  if (!tail.empty()) children.push_back(Text(tail));
  if (!count.empty()) {
    children.push_back(Text(u" "));
    children.push_back(El(u"I", {Text(count)}));
  }
  return At(top, El(u"LI", std::move(children)));
}

// A directory page: the given body plus the search form that every complete page has.
inline FakePage DirectoryPage(const std::u16string& url, std::vector<FakeNodePtr> body,
                              const std::u16string& title = u"Talmorex - Category") {
  body.push_back(El(u"FORM", {{u"action", u"http://search.wexa.org/cgi"}}, {}));
  return FakePage{url, title, true, platform::fake::MakeDocument(std::move(body), url)};
}

}  // namespace wexa_test
